#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>

#include "common/interrupt.h"
#include "common/realloc_array.h"
#include "common/u32_map.h"
#include "trainer/chains.h"

// Statistics of one adjacent pair. Packed to 4-byte alignment, so that a map slot holds it
// beside its 4-byte key in 24 bytes: the size the first three fields alone take once padded to
// 8-byte alignment, so build_pairs' cursor costs no memory.
#pragma pack(push, 4)
struct PairInfo {
  int64_t count = 0;    // live occurrences, each weighted by how often its word occurs
  uint32_t begin = 0;   // the pair's occurrences: pair_positions[begin, begin + length), left
  uint32_t length = 0;  // nodes in ascending order (entries of dead occurrences may remain)
  uint32_t fill = 0;    // build_pairs only: where the next entry of the list is written
};
#pragma pack(pop)
static_assert(sizeof(PairInfo) == 20 && alignof(PairInfo) == 4);

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
