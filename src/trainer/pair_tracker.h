#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/interrupt.h"
#include "common/pair_key.h"
#include "common/realloc_array.h"
#include "common/u32_map.h"
#include "trainer/chains.h"
#include "trainer/pair_heap.h"
#include "trainer/pair_stats.h"

// The pair statistics while merging: the weighted count and occurrence list of every pair
// counted at least a floor (track_floor_), and the heap that selects the best pair. A merge reads
// the occurrences of its pair, then reports each pair it destroys (`lower_at`) and creates
// (`record_at`) by its `touch` index, then `commit_new_pairs`.
class PairTracker {
 public:
  // Counts the pairs of `chains` and fills the heap, tracking only the pairs that `merges`
  // merges are likely to reach (see track_floor_).
  PairTracker(const Chains& chains, const WordSpans& words, size_t merges, Interrupt& interrupt);

  // The tracked pair of highest count (the smaller key on ties), or nullopt when none is left.
  // It is the best of all pairs if surely_best says so.
  std::optional<uint32_t> best_tracked() { return heap_.pop_best(stats_); }
  // Whether `best`, from best_tracked, is the best of all pairs: every pair not tracked is
  // counted below the floor.
  bool surely_best(std::optional<uint32_t> best) const {
    return track_floor_ == 1 || (best && stats_.known(*best).count >= track_floor_);
  }
  // Counts the pairs of the live nodes again, this time tracking every pair.
  void track_all(const Chains& chains, const WordIndex& words, Interrupt& interrupt);

  // Sets the count of `key` to 0 and returns its recorded left nodes, ascending; valid until
  // commit_new_pairs. The merge makes the token `new_id`.
  std::span<const uint32_t> take(uint32_t key, uint16_t new_id);

  // Index of `key` among the pairs touched since the last commit, added on its first touch. A
  // caller that meets the same pair again passes the index to lower_at and record_at instead of
  // looking the key up again. Valid until commit_new_pairs.
  uint32_t touch(uint32_t key) {
    uint32_t& slot = touch_slot(key);
    if (slot == 0) {
      stats_.prefetch(key);  // the commit reads its statistics: they arrive meanwhile
      touched_.push_back({key});
      slot = static_cast<uint32_t>(touched_.size());
    }
    return slot - 1;
  }

  // One occurrence of the touched pair `touched`, of weight `weight`, is gone.
  void lower_at(uint32_t touched, int64_t weight) {
    assert(touched < touched_.size());
    touched_[touched].change -= weight;
  }

  // A new occurrence of the touched pair `touched` with left node `node`. Every key recorded
  // between two commits holds the token of the merge under way, so it is new; its nodes come in
  // ascending order.
  void record_at(uint32_t touched, uint32_t node, int64_t weight) {
    assert(touched < touched_.size());
    Touched& pair = touched_[touched];
    pair.change += weight;
    pair.bytes += gap_bytes(node - pair.last);
    pair.last = node;
    recorded_.push_back({touched, node});
  }

  // Applies the changes of the merge: lowers the counts of the pairs it destroyed, gives each
  // pair it created its occurrences as one ascending range at the end of the position array,
  // and enters every created pair in the heap with its final count.
  void commit_new_pairs();

 private:
  // A merge of (left, right) into new_id touches only pairs (x, left), (x, new_id), (right, y) and
  // (new_id, y), x and y its neighbours: the touch index of each is kept in one of four tables
  // indexed by x or y, picked by the first of these forms that the key has, so that a key of two
  // forms has one place. An index lookup is an array access rather than a hash probe.
  uint32_t& touch_slot(uint32_t key) {
    const uint16_t x = pair_left(key), y = pair_right(key);
    if (y == pair_left(taken_)) return touch_slots_[x];
    if (y == new_id_) return touch_slots_[0x10000 + x];
    if (x == pair_right(taken_)) return touch_slots_[0x20000 + y];
    assert(x == new_id_);
    return touch_slots_[0x30000 + y];
  }
  // Fills the heap from the statistics.
  void rebuild_heap();
  // Packs the live occurrence lists at the start of the array and makes room for `incoming` more;
  // a dead pair's list is dropped and its entry keeps a list of length 0.
  void compact_positions(size_t incoming);
  // Compacts the lists, then erases every dead pair's entry from the map: in this order, for
  // list_order_ names the pairs whose lists compaction walks.
  void purge_dead_pairs(size_t incoming);

  // A pair the merge under way has touched. The merge collects its count changes here and the
  // commit applies them once per pair: the statistics are far larger than the cache, and
  // neighbouring occurrences mostly touch the same few pairs.
  struct Touched {
    uint32_t key;
    uint32_t bytes = 0;  // of the occurrences recorded: only the pairs the merge creates have any
    uint32_t last = 0;   // the last node recorded, which the next one's gap is taken from
    int64_t change = 0;  // the weight created minus the weight lost
    // A pair of the merge's new token; every other touched pair only lost occurrences.
    bool created() const { return bytes != 0; }
  };
  // A created pair that is tracked: counted at least the floor.
  bool tracked(const Touched& pair) const { return pair.created() && pair.change >= track_floor_; }
  struct Recorded {
    uint32_t touched;  // index of the pair in touched_
    uint32_t node;
  };

  PairStats stats_;
  PositionArray positions_;
  std::vector<uint32_t> list_order_;  // pairs with an occurrence list, in the order of the lists
  PairHeap heap_;
  uint32_t taken_ = 0;     // the pair of the merge under way
  size_t dead_pairs_ = 0;  // entries of stats_ whose count has fallen to 0 since the last purge
  uint16_t new_id_ = 0;    // the token of the merge under way
  // Pairs counted below this floor have no statistics: a merge creates a pair with all the
  // occurrences it will ever have, so such a pair never reaches the floor, and only matters
  // once every tracked pair has fallen below it too; then track_all counts them in. Text without
  // spaces creates over a million pairs on the way to 32,000 tokens, nine in ten of them counted
  // 8 or less, while its last merge is of a pair counted 10.
  int64_t track_floor_ = 1;
  // Index + 1 in touched_ of each pair touched since the last commit, 0 for none (touch_slot).
  std::vector<uint32_t> touch_slots_ = std::vector<uint32_t>(4 << 16);
  std::vector<Touched> touched_;  // in order of first touch
  ReallocArray<Recorded> recorded_;
  std::vector<size_t> next_entry_;      // per touched pair, during the commit: where its next
                                        // record goes in the position array
  ReallocArray<uint32_t> taken_nodes_;  // the nodes of the pair being merged
};
