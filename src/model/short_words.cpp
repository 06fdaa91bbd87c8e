#include "model/short_words.h"

#include <algorithm>
#include <cassert>

ShortWords::ShortWords() : slots_(kSlots), met_(kMetBits / 64) {}

void ShortWords::add(Slot& slot, const Key& key, const uint16_t* merged, size_t merged_length) {
  assert(slot.free() && merged_length <= kMaxLength && count_ < kMaxWords);
  std::copy(key.parts, key.parts + 4, slot.parts);
  std::copy(merged, merged + merged_length, slot.merged);
  slot.merged_length = static_cast<uint8_t>(merged_length);
  ++count_;
}
