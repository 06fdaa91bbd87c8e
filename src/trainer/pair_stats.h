#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "common/interrupt.h"
#include "common/realloc_array.h"
#include "common/u32_map.h"
#include "trainer/chains.h"

// A signed 64-bit count kept as two 32-bit halves, so that a record holding it needs only
// 4-byte alignment. It is read and written as a value (an 8-byte load or store), never through
// a reference, so no access is misaligned.
class PackedCount {
 public:
  PackedCount() = default;
  operator int64_t() const {
    int64_t value;
    std::memcpy(&value, halves_, sizeof value);
    return value;
  }
  PackedCount& operator=(int64_t value) {
    std::memcpy(halves_, &value, sizeof value);
    return *this;
  }
  PackedCount& operator+=(int64_t value) { return *this = *this + value; }

 private:
  uint32_t halves_[2] = {0, 0};
};

// Statistics of one adjacent pair. Every field is 4-byte aligned, so a map slot holds the record
// beside its 4-byte key in 20 bytes rather than the 24 an 8-byte aligned count would take.
struct PairInfo {
  PackedCount count;  // live occurrences, each weighted by how often its word occurs
  // The pair's occurrences are pair_positions[begin, begin + length), left nodes, ascending;
  // entries of occurrences merged away since may remain. While build_pairs fills the lists,
  // `begin` is the list's write cursor instead, moved back to the start once the lists are
  // full: a separate cursor would make the record 20 bytes.
  uint32_t begin = 0;
  uint32_t length = 0;
};
static_assert(sizeof(PairInfo) == 16 && alignof(PairInfo) == 4);

// A dead pair: its count has fallen to 0 and it never occurs again, for only a merge's new pairs
// gain occurrences and their keys hold the new token. Its occurrence list is dead with it, and
// its entry may leave the map (PairTracker's purge) while heap entries for it remain.
inline bool is_dead(const PairInfo& info) {
  return info.count <= 0;
}

using PairStats = U32Map<PairInfo>;

// The pair occurrence lists back to back: left node indices.
using PositionArray = ReallocArray<uint32_t>;

// `index` as a position in the occurrence lists; throws std::length_error past 2^32 - 1.
inline uint32_t position_index(size_t index) {
  if (index > std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("more than 2^32 - 1 pair occurrences");
  }
  return static_cast<uint32_t>(index);
}

// Counts every adjacent pair of the chains (weighted by word count) into `pair_stats` and lays
// out each pair's occurrences as one ascending range of `pair_positions`, the ranges in the order
// `pair_stats.for_each` visits the pairs. Polls `interrupt` as it walks the words.
void build_pairs(PairStats& pair_stats, const Chains& chains, const WordSpans& words,
                 PositionArray& pair_positions, Interrupt& interrupt);
