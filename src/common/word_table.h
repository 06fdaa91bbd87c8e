#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "common/system_memory.h"

// Interns runs of 16-bit units ("words"): each distinct run gets an index, in order of first
// appearance. Runs are stored back to back in one arena and found again through an
// open-addressing index, so many repeats cost memory only once.
class WordTable {
 public:
  // Index of `units`, whose hash(units) is `hash`, and whether this call added it. A throw
  // (running out of memory) leaves the table as it was.
  std::pair<uint32_t, bool> intern(std::span<const uint16_t> units, uint32_t hash);
  // Index of `units`, whose hash(units) is `hash`, where the table holds it.
  std::optional<uint32_t> find(std::span<const uint16_t> units, uint32_t hash) const;
  // The hash intern files `units` under.
  static uint32_t hash(std::span<const uint16_t> units);
  // Starts loading the slot a word of hash `hash` is looked up in, so that interning it a little
  // later does not wait for memory.
  void prefetch(uint32_t hash) const;

  size_t size() const { return starts_.size() - 1; }
  std::span<const uint16_t> word(size_t i) const {
    return {arena_.data() + starts_[i], static_cast<size_t>(starts_[i + 1] - starts_[i])};
  }
  uint64_t total_units() const { return arena_.size(); }
  // Offset of word i in the arena; i == size() gives the arena's length.
  uint64_t start(size_t i) const { return starts_[i]; }
  // Hands over the arena (all words back to back) and empties the table.
  HugeVector<uint16_t> take_units();

 private:
  size_t find_slot(std::span<const uint16_t> units, uint32_t hash) const;
  void grow();

  HugeVector<uint16_t> arena_;
  std::vector<uint64_t> starts_{0};  // word i is arena_[starts_[i], starts_[i + 1])
  HugeVector<uint64_t> slots_;       // hash << 32 | (word index + 1); 0 marks a free slot
};
