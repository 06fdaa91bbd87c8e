#include "trainer/chains.h"

#include <limits>
#include <stdexcept>

#include "model/pair_key.h"

Chains build_chains(const WordCounts& words, const std::vector<uint16_t>& symbol_ids) {
  if (words.total_units() > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
    throw std::length_error("training text has more than 2^31 - 1 symbols in distinct words");
  }
  Chains chains;
  chains.nodes.reserve(words.total_units());
  chains.node_word.reserve(words.total_units());
  chains.word_heads.reserve(words.size());
  chains.word_counts.reserve(words.size());
  for (size_t w = 0; w < words.size(); ++w) {
    const auto head = static_cast<int32_t>(chains.nodes.size());
    int32_t previous = -1;
    for (uint16_t unit : words.word(w)) {
      const auto i = static_cast<int32_t>(chains.nodes.size());
      chains.nodes.push_back({symbol_ids[unit], previous, -1});
      chains.node_word.push_back(static_cast<int32_t>(w));
      if (previous != -1) chains.nodes[previous].next = i;
      previous = i;
    }
    chains.word_heads.push_back(head);
    chains.word_counts.push_back(words.count(w));
  }
  return chains;
}

namespace {

// Calls visit(key, left node, word) for every adjacent pair of every chain, in text order.
template <class Visit>
void for_each_pair(const std::vector<int32_t>& word_heads, const std::vector<Node>& nodes,
                   Visit visit) {
  for (size_t w = 0; w < word_heads.size(); ++w) {
    if (word_heads[w] < 0) continue;
    for (int32_t i = word_heads[w]; nodes[i].next != -1; i = nodes[i].next) {
      visit(pair_key(nodes[i].id, nodes[nodes[i].next].id), i, w);
    }
  }
}

}  // namespace

void build_pairs(PairStats& pair_stats, const std::vector<int32_t>& word_heads,
                 const std::vector<uint64_t>& word_counts, const std::vector<Node>& nodes,
                 std::vector<int32_t>& pair_positions) {
  // 1. Count: weighted occurrences in `count`, plain occurrences in `end` for the layout.
  for_each_pair(word_heads, nodes, [&](uint32_t key, int32_t, size_t w) {
    PairInfo& info = pair_stats[key];
    info.count += static_cast<int64_t>(word_counts[w]);
    ++info.end;
  });
  // 2. Lay out: each pair gets a range as long as its number of occurrences.
  int64_t offset = 0;
  pair_stats.for_each([&](uint32_t, PairInfo& info) {
    const int64_t occurrences = info.end - info.begin;
    info.begin = info.end = offset;
    offset += occurrences;
  });
  pair_positions.resize(static_cast<size_t>(offset));
  // 3. Fill: left node indices, ascending within each pair.
  for_each_pair(word_heads, nodes, [&](uint32_t key, int32_t left, size_t) {
    PairInfo& info = *pair_stats.find(key);
    pair_positions[static_cast<size_t>(info.end++)] = left;
  });
}
