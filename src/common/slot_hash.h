#pragma once

#include <cstddef>
#include <cstdint>

// Slot of a 32-bit hash in an open-addressing table of `slot_count` slots (a power of two):
// Fibonacci hashing spreads keys that differ only in their low bits, such as pair keys.
constexpr size_t slot_of(uint32_t hash, size_t slot_count) {
  return static_cast<size_t>((hash * 0x9E3779B97F4A7C15ULL) >> 32) & (slot_count - 1);
}
