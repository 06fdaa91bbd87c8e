#pragma once

#include <cassert>
#include <cstdint>

// The value of `key` in `map` (a U32Map), where the trainer's bookkeeping guarantees an entry:
// the builds that keep asserts check it, release builds probe without a check.
template <class Map>
auto& known_entry(Map& map, uint32_t key) {
  auto* value = map.find(key);
  assert(value != nullptr);
  return *value;
}
