#include "model/short_words.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "common/slot_hash.h"

namespace {

// The bits of the 64-bit key part that starts at bit `low` which belong to a word of `bits` bits.
uint64_t part_mask(size_t bits, size_t low) {
  if (bits >= low + 64) return ~uint64_t{0};
  if (bits <= low) return 0;
  return (uint64_t{1} << (bits - low)) - 1;
}

}  // namespace

ShortWords::ShortWords() : slots_(kSlots), met_(kMetBits / 64) {}

ShortWords::Key ShortWords::key_of(const uint16_t* units, size_t length, size_t readable) {
  assert(length <= kMaxLength && readable >= length);
  Key key{};
  if (readable >= kMaxLength + 1) {  // one fixed-size copy, the units past the word masked off
    std::memcpy(key.parts, units, sizeof(key.parts));
    for (size_t i = 0; i < 4; ++i) key.parts[i] &= part_mask(length * 16, i * 64);
  } else {
    std::memcpy(key.parts, units, length * sizeof(uint16_t));
  }
  key.parts[3] |= static_cast<uint64_t>(length) << 48;
  // Each part through its own odd multiplier, so that words differing in any part spread.
  key.hash = ((key.parts[0] * 0x9E3779B97F4A7C15ULL) ^ (key.parts[1] * 0xC2B2AE3D27D4EB4FULL)) +
             ((key.parts[2] * 0x165667B19E3779F9ULL) ^ (key.parts[3] * 0x27D4EB2F165667C5ULL));
  return key;
}

size_t ShortWords::home(const Key& key) const {
  return slot_of(static_cast<uint32_t>(key.hash >> 32), slots_.size());
}

ShortWords::Slot& ShortWords::probe(const Key& key) {
  // Ends: the table is never more than three quarters full.
  for (size_t s = home(key);; s = (s + 1) & (slots_.size() - 1)) {
    Slot& slot = slots_[s];
    if (slot.free() || std::equal(key.parts, key.parts + 4, slot.parts)) return slot;
  }
}

bool ShortWords::meet(const Key& key) {
  const uint64_t bit = uint64_t{1} << (key.hash & 63);
  uint64_t& bits = met_[(key.hash >> 6) & (met_.size() - 1)];
  const bool met_before = (bits & bit) != 0;
  bits |= bit;
  return met_before;
}

void ShortWords::add(Slot& slot, const Key& key, const uint16_t* merged, size_t merged_length) {
  assert(slot.free() && merged_length <= kMaxLength && count_ < kMaxWords);
  std::copy(key.parts, key.parts + 4, slot.parts);
  std::copy(merged, merged + merged_length, slot.merged);
  slot.merged_length = static_cast<uint8_t>(merged_length);
  ++count_;
}
