#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/interrupt.h"
#include "common/realloc_array.h"
#include "common/u32_map.h"
#include "trainer/chains.h"

// Statistics of one adjacent pair.
struct PairInfo {
  int64_t count = 0;   // live occurrences, each weighted by how often its word occurs
  uint32_t begin = 0;  // the pair's occurrences are pair_positions[begin, end): left nodes
  uint32_t end = 0;
};

using PairStats = U32Map<PairInfo>;

// The pair occurrence lists back to back: left node indices.
using PositionArray = ReallocArray<uint32_t>;

// Counts every adjacent pair of the chains (weighted by word count) into `pair_stats` and lays
// out each pair's occurrences as one ascending range of `pair_positions`, the ranges in the order
// `pair_stats.for_each` visits the pairs. Polls `interrupt` as it walks the words.
void build_pairs(PairStats& pair_stats, const Chains& chains, const WordSpans& words,
                 PositionArray& pair_positions, Interrupt& interrupt);

// Max-heap of (count, pair key) with lazy invalidation: entries are never updated in place; an
// entry is checked against the pair's current count when it reaches the top. The order is
// total (higher count first, then the smaller key), so the pair chosen never depends on the
// order of pushes. Only pairs counted at least `floor` are held: the many rare pairs stay out
// until every held one is used up, then a rebuild with a lower floor takes them in, so the heap
// stays small enough for the cache.
class PairHeap {
 public:
  // Enters `key` if `count` reaches the floor; a pair below it waits for a rebuild.
  void push(uint32_t key, int64_t count);

  // Pops until an entry matches its pair's current count and returns that pair: the pair of
  // highest current count, the smaller key on ties. A stale entry whose pair still reaches the
  // floor is pushed again with the current count, so a lowered pair stays selectable. Rebuilds
  // with lower floors when the heap runs empty; returns nullopt when no pair is left.
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

// The pair statistics while merging: every pair's weighted count and occurrence list, and the
// heap that selects the best pair. A merge reads the occurrences of its pair, then reports each
// pair it destroys (`lower_at`) and creates (`record_at`) by its `touch` index, then
// `commit_new_pairs`.
class PairTracker {
 public:
  // Counts the pairs of `chains` and fills the heap.
  PairTracker(const Chains& chains, const WordSpans& words, Interrupt& interrupt);

  // The pair of highest count (the smaller key on ties), or nullopt when no pair is left.
  std::optional<uint32_t> best_pair() { return heap_.pop_best(stats_); }

  // Sets the count of `key` to 0 and returns its recorded left nodes, ascending; valid until
  // commit_new_pairs.
  std::span<const uint32_t> take(uint32_t key);

  // Index of `key` among the pairs touched since the last commit, added on its first touch. A
  // caller that meets the same pair again passes the index to lower_at and record_at instead of
  // looking the key up again. Valid until commit_new_pairs.
  uint32_t touch(uint32_t key) {
    uint32_t& slot = touched_index_[key];
    if (slot == 0) {
      stats_.prefetch(key);  // the commit reads its statistics: they arrive meanwhile
      touched_.push_back(key);
      changes_.push_back(0);
      fill_.push_back(0);
      slot = static_cast<uint32_t>(touched_.size());
    }
    return slot - 1;
  }

  // One occurrence of the touched pair `touched`, of weight `weight`, is gone.
  void lower_at(uint32_t touched, int64_t weight) { changes_[touched] -= weight; }

  // A new occurrence of the touched pair `touched` with left node `node`. Every key recorded
  // between two commits holds the token of the merge under way, so it is new; its nodes come in
  // ascending order.
  void record_at(uint32_t touched, uint32_t node, int64_t weight) {
    changes_[touched] += weight;
    ++fill_[touched];
    recorded_.push_back({touched, node});
  }

  // Applies the changes of the merge: lowers the counts of the pairs it destroyed, gives each
  // pair it created its occurrences as one ascending range at the end of the position array,
  // and enters every created pair in the heap with its final count.
  void commit_new_pairs();

 private:
  // Packs the live occurrence lists at the start of the array and makes room for `incoming` more.
  void compact_positions(size_t incoming);

  struct Recorded {
    uint32_t slot;  // index of the pair in touched_
    uint32_t node;
  };

  PairStats stats_;
  PositionArray positions_;
  std::vector<uint32_t> list_order_;  // pairs with an occurrence list, in the order of the lists
  PairHeap heap_;
  // The merge under way collects its count changes here and applies them once per pair at the
  // commit: the statistics are far larger than the cache, and neighbouring occurrences mostly
  // touch the same few pairs.
  U32Map<uint32_t> touched_index_;  // pair key -> 1 + its index in touched_
  std::vector<uint32_t> touched_;   // pairs touched since the last commit, in order of arrival
  std::vector<int64_t> changes_;    // per touched pair: the weight created minus the weight lost
  std::vector<uint32_t> fill_;  // per touched pair: its count of records, then where its next goes
  ReallocArray<Recorded> recorded_;
};
