#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <stdexcept>
#include <vector>

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
  // The pair's occurrence list is the `length` bytes at pair_positions[begin * kListAlign]: its
  // left nodes, ascending, coded as gaps (see PositionArray); entries of occurrences merged away
  // since may remain. While build_pairs fills the lists, `count` holds the fill's state instead
  // (see there): a separate cursor would make the record larger.
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

// The pair occurrence lists back to back. A list holds the gaps between its ascending left nodes
// (the first one from node 0), each in groups of 7 bits, the low group first, the high bit set
// on every byte but a gap's last. Most occurrences belong to frequent pairs, whose gaps take one
// byte or two: the lists take about a third of the memory of 4-byte nodes. Each list starts on
// a multiple of kListAlign bytes, so that its start in those units spans 16 GiB in 32 bits.
using PositionArray = ReallocArray<uint8_t>;
inline constexpr size_t kListAlign = 4;

inline size_t list_start(const PairInfo& info) {
  return size_t{info.begin} * kListAlign;
}
// `bytes` rounded up to a list start.
inline size_t list_aligned(size_t bytes) {
  return (bytes + kListAlign - 1) / kListAlign * kListAlign;
}

// Bytes of the gap `gap` in a list.
inline uint32_t gap_bytes(uint32_t gap) {
  return static_cast<uint32_t>(std::bit_width(gap | 1) + 6) / 7;
}
// Writes `gap` at `out`; returns the byte after it.
inline uint8_t* put_gap(uint8_t* out, uint32_t gap) {
  for (; gap >= 0x80; gap >>= 7) *out++ = static_cast<uint8_t>(gap | 0x80);
  *out++ = static_cast<uint8_t>(gap);
  return out;
}
// Writes the nodes of the list in `bytes` to `nodes` (room for one per byte); returns how many.
inline size_t read_list(std::span<const uint8_t> bytes, uint32_t* nodes) {
  uint32_t* out = nodes;
  uint32_t node = 0;
  for (size_t i = 0; i < bytes.size();) {
    uint32_t gap = bytes[i] & 0x7F;
    for (int shift = 7; bytes[i++] & 0x80; shift += 7) gap |= uint32_t{bytes[i] & 0x7Fu} << shift;
    node += gap;
    *out++ = node;
  }
  return static_cast<size_t>(out - nodes);
}

// `index` as a list start or length; throws std::length_error past 2^32 - 1.
inline uint32_t position_index(size_t index) {
  if (index > std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("more than 2^32 - 1 pair occurrences");
  }
  return static_cast<uint32_t>(index);
}

// Counts every adjacent pair of the live nodes of `chains` (weighted by word count) into
// `pair_stats` and lays out an occurrence list in `pair_positions` for each pair counted at least
// the floor, naming those pairs in `list_order` in the order their lists lie. The floor is the
// count of the `wanted`-th most frequent pair, 1 if fewer pairs occur or `wanted` is 0; the pairs
// below it leave the map. `Words` is WordSpans or WordIndex: size(), head(w) for w up to size(),
// weight(w). Polls `interrupt` as it walks the words. Returns the floor.
template <class Words>
int64_t build_pairs(PairStats& pair_stats, const Chains& chains, const Words& words,
                    PositionArray& pair_positions, std::vector<uint32_t>& list_order, size_t wanted,
                    Interrupt& interrupt);

// The count of the `rank`-th most frequent pair of `pair_stats` (rank 0 the most frequent), or
// 1 if it holds no more than `rank` pairs.
int64_t count_at_rank(const PairStats& pair_stats, size_t rank);
