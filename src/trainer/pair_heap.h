#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "trainer/chains.h"

// Max-heap of (count, pair key) with lazy invalidation: entries are never updated in place; an
// entry is checked against the pair's current count when it reaches the top. The order is
// total (higher count first, then the smaller key), so the pair chosen never depends on the
// order of pushes.
class PairHeap {
 public:
  void push(uint32_t key, int64_t count);

  // Pops until an entry matches its pair's current count and returns that pair: the pair of
  // highest current count, the smaller key on ties. A stale entry whose pair still occurs is
  // pushed again with the current count, so a lowered pair stays selectable. Returns nullopt
  // when no pair is left.
  std::optional<uint32_t> pop_best(const PairStats& pair_stats);

  // Replaces the entries by one per pair whose count is above 0.
  void rebuild(const PairStats& pair_stats);

  size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    int64_t count;
    uint32_t key;
  };
  static bool ranks_below(const Entry& a, const Entry& b) {
    return a.count < b.count || (a.count == b.count && a.key > b.key);
  }
  std::vector<Entry> entries_;
};
