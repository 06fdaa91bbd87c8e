#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/interrupt.h"
#include "trainer/chains.h"
#include "trainer/pair_tracker.h"

// The chains, the word index and the pair statistics while merging, and the walk of one merge.
class MergeWalk {
 public:
  // Counts the pairs of `built` for a run of `merges` merges, then keeps its words only as an
  // index: the per-word arrays are given back before merging starts.
  MergeWalk(ChainedWords built, size_t merges, Interrupt& interrupt);

  // The pair of highest count (the smaller key on ties), or nullopt when no pair is left.
  std::optional<uint32_t> best_pair();

  // Merges every occurrence of `key` into the token `new_id`, left to right, and keeps every
  // pair count equal to the weighted number of its live occurrences.
  void merge(uint32_t key, uint16_t new_id);

 private:
  // A merge's occurrences lie far apart in the node array: the node of the occurrence this many
  // ahead is asked for while the current one is merged. Its word entry is asked for halfway,
  // once the index entry asked for with the node has arrived.
  static constexpr size_t kNodesAhead = 16;
  static constexpr size_t kWordsAhead = kNodesAhead / 2;

  // The two pairs a merge changes beside one neighbour: the one it destroys and the one it
  // creates. The next occurrence often has a neighbour of the same id (in a run of one symbol,
  // always), and then finds both without a lookup.
  struct NeighbourPairs {
    static constexpr uint32_t kNoId = 0x10000;  // above every id: matches no neighbour
    uint32_t id = kNoId;                        // the neighbour's id
    uint32_t lost = 0;                          // indices among the pairs the merge has touched
    uint32_t made = 0;
  };

  // Starts loading what merging the occurrence at `node` reads first.
  void prefetch_node(uint32_t node) const;
  // Merges the occurrence of (left, right) at left node `p`, if it still holds.
  void merge_occurrence(uint32_t p, uint16_t left, uint16_t right, uint16_t new_id,
                        NeighbourPairs& on_left, NeighbourPairs& on_right);

  Chains chains_;
  Interrupt& interrupt_;
  PairTracker pairs_;  // before words_: the pairs are counted from the spans the index then takes
  WordIndex words_;
};
