#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "trainer/pair_stats.h"

// Max-heap of (count, pair key) with lazy invalidation: entries are never updated in place; an
// entry is checked against the pair's current count when it reaches the top. The order is
// total (higher count first, then the smaller key), so the pair chosen never depends on the
// order of pushes. Only pairs counted at least `floor` are held: the many rare pairs stay out
// until every held one is used up, then a rebuild with a lower floor takes them in, so the heap
// stays small enough for the cache.
class PairHeap {
 public:
  // Enters `key` if `count` reaches the floor; a pair below it waits for a rebuild.
  void push(uint32_t key, int64_t count) {
    if (count < floor_) return;
    entries_.push_back({count, key});
    std::push_heap(entries_.begin(), entries_.end(), ranks_below);
  }

  // Pops until an entry matches its pair's current count and returns that pair: the pair of
  // highest current count, the smaller key on ties. A stale entry whose pair still reaches the
  // floor is pushed again with the current count, so a lowered pair stays selectable. Rebuilds
  // with lower floors when the heap runs empty; returns nullopt when no pair is left. An entry
  // whose pair has no statistics in `pair_stats` is a dead pair's.
  std::optional<uint32_t> pop_best(const PairStats& pair_stats);

  // Replaces the entries by one per pair whose count is at least `floor` (and above 0).
  void rebuild(const PairStats& pair_stats, int64_t floor);

 private:
  struct Entry {
    int64_t count;
    uint32_t key;
  };
  static bool ranks_below(const Entry& a, const Entry& b) {
    return a.count < b.count || (a.count == b.count && a.key > b.key);
  }
  std::vector<Entry> entries_;
  int64_t floor_ = 1;
};
