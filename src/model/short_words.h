#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/slot_hash.h"

// The short-word table of a kept Encoder: frequent words of at most kMaxLength units with their
// merged ids inline, so that one probe of one cache line answers a word without touching the
// word cache.
//
// What it admits: only words that merge apart (their merged ids are the same within any text),
// and only while it has room: any such word while it is less than half full, then only words
// met before, so that words seen once do not crowd out frequent ones. "Met before" is one bit of
// the word's hash: two words sharing a bit only let a word in early, which changes no result.
// It is never emptied: the frequent words of the first texts answer all later ones.
// When it is made: by its owner, where the 2 MiB of zeroed slots pay off (a kept Encoder's
// second call, or one text long enough to repeat its words).
// What it costs: kSlots slots of 64 bytes (2 MiB) and kMetBits bits (128 KiB), made in full by
// the constructor; filled to at most three quarters of its slots, so that the probe for a word
// it lacks ends after a few neighbouring slots.
class ShortWords {
 public:
  static constexpr size_t kMaxLength = 15;

  // A word as the table files it: its units zero padded to kMaxLength with the length as the
  // 16th unit (so no key of a word is all zero, which marks a free slot), and a hash of that.
  struct Key {
    uint64_t parts[4];
    uint64_t hash;
  };
  struct alignas(64) Slot {
    uint64_t parts[4] = {0, 0, 0, 0};  // the key; all zero while the slot is free
    uint16_t merged[kMaxLength] = {};
    uint8_t merged_length = 0;
    bool free() const { return parts[3] == 0; }
  };

  ShortWords() : slots_(kSlots), met_(kMetBits / 64) {}

  // Sets `key` to the key of the word of `length` (at most kMaxLength) units at `units`, of
  // which `readable` may be read (at least `length`). Written in place: it runs for every word.
  static void make_key(const uint16_t* units, size_t length, size_t readable, Key& key);

  // Starts loading the slot where the probe for `key` begins.
  void prefetch(const Key& key) const { __builtin_prefetch(&slots_[home(key)]); }
  // The slot holding `key`, or else the free slot where it would go.
  Slot& probe(const Key& key);

  // Whether another word fits.
  bool has_room() const { return count_ < kMaxWords; }
  // Records that the word of `key` was met; whether it had been met before.
  bool meet(const Key& key);
  // Whether a word may be added while there is room, given whether it was met before.
  bool admits(bool met_before) const { return met_before || count_ < kMaxWords / 2; }
  // Puts the word of `key` and its merged ids into `slot`, a free slot its probe ended on.
  void add(Slot& slot, const Key& key, const uint16_t* merged, size_t merged_length);

 private:
  static constexpr size_t kSlots = size_t{1} << 15;
  static constexpr size_t kMaxWords = kSlots / 4 * 3;
  static constexpr size_t kMetBits = size_t{1} << 20;

  size_t home(const Key& key) const;

  std::vector<Slot> slots_;
  std::vector<uint64_t> met_;  // one bit per word hash, kMetBits in all
  size_t count_ = 0;           // words added: the table only ever fills
};

// Inline: these run once or more for every short word of every text.

namespace short_words_detail {

// The bits of the 64-bit key part that starts at bit `low` which belong to a word of `bits` bits.
inline uint64_t part_mask(size_t bits, size_t low) {
  if (bits >= low + 64) return ~uint64_t{0};
  if (bits <= low) return 0;
  return (uint64_t{1} << (bits - low)) - 1;
}

}  // namespace short_words_detail

inline void ShortWords::make_key(const uint16_t* units, size_t length, size_t readable, Key& key) {
  assert(length <= kMaxLength && readable >= length);
  if (readable >= kMaxLength + 1) {  // one fixed-size copy, the units past the word masked off
    std::memcpy(key.parts, units, sizeof(key.parts));
    for (size_t i = 0; i < 4; ++i) {
      key.parts[i] &= short_words_detail::part_mask(length * 16, i * 64);
    }
  } else {
    key.parts[0] = key.parts[1] = key.parts[2] = key.parts[3] = 0;
    std::memcpy(key.parts, units, length * sizeof(uint16_t));
  }
  key.parts[3] |= static_cast<uint64_t>(length) << 48;
  // Each part through its own odd multiplier, so that words differing in any part spread.
  key.hash = ((key.parts[0] * 0x9E3779B97F4A7C15ULL) ^ (key.parts[1] * 0xC2B2AE3D27D4EB4FULL)) +
             ((key.parts[2] * 0x165667B19E3779F9ULL) ^ (key.parts[3] * 0x27D4EB2F165667C5ULL));
}

inline size_t ShortWords::home(const Key& key) const {
  return slot_of(static_cast<uint32_t>(key.hash >> 32), slots_.size());
}

inline ShortWords::Slot& ShortWords::probe(const Key& key) {
  // Ends: the table is never more than three quarters full.
  for (size_t s = home(key);; s = (s + 1) & (slots_.size() - 1)) {
    Slot& slot = slots_[s];
    // Compared word by word, without a branch: a call to memcmp would cost more than the probe.
    const uint64_t differ = (slot.parts[0] ^ key.parts[0]) | (slot.parts[1] ^ key.parts[1]) |
                            (slot.parts[2] ^ key.parts[2]) | (slot.parts[3] ^ key.parts[3]);
    if (differ == 0 || slot.free()) return slot;
  }
}

inline bool ShortWords::meet(const Key& key) {
  const uint64_t bit = uint64_t{1} << (key.hash & 63);
  uint64_t& bits = met_[(key.hash >> 6) & (met_.size() - 1)];
  const bool met_before = (bits & bit) != 0;
  bits |= bit;
  return met_before;
}

inline void ShortWords::add(Slot& slot, const Key& key, const uint16_t* merged,
                            size_t merged_length) {
  assert(slot.free() && merged_length <= kMaxLength && count_ < kMaxWords);
  std::copy(key.parts, key.parts + 4, slot.parts);
  std::copy(merged, merged + merged_length, slot.merged);
  slot.merged_length = static_cast<uint8_t>(merged_length);
  ++count_;
}
