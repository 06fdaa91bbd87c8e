#include "trainer/merge_walk.h"

#include <algorithm>
#include <span>
#include <utility>

#include "common/pair_key.h"

MergeWalk::MergeWalk(ChainedWords built, size_t merges, Interrupt& interrupt)
    : chains_(std::move(built.chains)),
      interrupt_(interrupt),
      pairs_(chains_, built.words, merges, interrupt),
      words_(std::move(built.words), chains_.ids.size()) {}

std::optional<uint32_t> MergeWalk::best_pair() {
  std::optional<uint32_t> best = pairs_.best_tracked();
  if (!pairs_.surely_best(best)) {
    pairs_.track_all(chains_, words_, interrupt_);
    best = pairs_.best_tracked();
  }
  return best;
}

void MergeWalk::merge(uint32_t key, uint16_t new_id) {
  const std::span<const uint32_t> nodes = pairs_.take(key, new_id);
  NeighbourPairs on_left, on_right;
  // The first nodes are asked for at once: most merges visit only a few dozen.
  for (size_t k = 0; k < std::min(nodes.size(), kNodesAhead); ++k) prefetch_node(nodes[k]);
  for (size_t k = 0; k < nodes.size(); ++k) {
    if (k + kNodesAhead < nodes.size()) prefetch_node(nodes[k + kNodesAhead]);
    if (k + kWordsAhead < nodes.size()) words_.prefetch_word(nodes[k + kWordsAhead]);
    merge_occurrence(nodes[k], pair_left(key), pair_right(key), new_id, on_left, on_right);
    interrupt_.step();
  }
  pairs_.commit_new_pairs();
}

// Inline: merge() is the one caller, and its loop runs once per occurrence.
inline void MergeWalk::prefetch_node(uint32_t node) const {
  __builtin_prefetch(chains_.ids.data() + node);
  __builtin_prefetch(chains_.dead_run.data() + node);
  words_.prefetch(node);
}

// Inline, as prefetch_node.
inline void MergeWalk::merge_occurrence(uint32_t p, uint16_t left, uint16_t right, uint16_t new_id,
                                        NeighbourPairs& on_left, NeighbourPairs& on_right) {
  HugeVector<uint16_t>& ids = chains_.ids;
  // An occurrence that overlaps one just merged (the second pair of a a a) no longer holds.
  if (ids[p] != left) return;
  const WordIndex::Word word = words_.word_of(p);
  const int64_t q = chains_.next_before(word.end, p);
  if (q == -1 || ids[q] != right) return;
  const auto weight = static_cast<int64_t>(word.weight);
  const int64_t s = chains_.next_before(word.end, static_cast<uint32_t>(q));
  ids[p] = new_id;
  chains_.absorb(static_cast<uint32_t>(q));
  if (const int64_t l = chains_.prev_after(word.head, p); l != -1) {
    if (const uint16_t id = ids[l]; id != on_left.id) {
      on_left = {id, pairs_.touch(pair_key(id, left)), pairs_.touch(pair_key(id, new_id))};
    }
    pairs_.lower_at(on_left.lost, weight);
    pairs_.record_at(on_left.made, static_cast<uint32_t>(l), weight);
  }
  if (s != -1) {
    if (const uint16_t id = ids[s]; id != on_right.id) {
      on_right = {id, pairs_.touch(pair_key(right, id)), pairs_.touch(pair_key(new_id, id))};
    }
    pairs_.lower_at(on_right.lost, weight);
    pairs_.record_at(on_right.made, p, weight);
  }
}
