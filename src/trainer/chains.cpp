#include "trainer/chains.h"

#include <limits>
#include <stdexcept>

#include "common/pair_key.h"

Chains build_chains(WordCounts&& words, const std::vector<uint16_t>& symbol_ids) {
  if (words.total_units() >= std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("training text has 2^32 or more symbols in distinct words");
  }
  Chains chains;
  chains.word_heads.reserve(words.size() + 1);
  for (size_t w = 0; w <= words.size(); ++w) {
    chains.word_heads.push_back(static_cast<uint32_t>(words.word_start(w)));
  }
  chains.word_counts = words.take_counts();
  chains.ids = words.take_units();
  // The arrays grew by doubling while the corpus was read; they keep their size from now on.
  chains.word_counts.shrink_to_fit();
  chains.ids.shrink_to_fit();
  for (uint16_t& id : chains.ids) id = symbol_ids[id];
  return chains;
}

namespace {

// Calls visit(key, left node, word) for every adjacent pair of every chain, in text order.
template <class Visit>
void for_each_pair(const Chains& chains, Interrupt& interrupt, Visit visit) {
  for (uint32_t w = 0; w < chains.word_count(); ++w) {
    interrupt.step(chains.word_heads[w + 1] - chains.word_heads[w] + 1);
    for (uint32_t i = chains.word_heads[w]; i + 1 < chains.word_heads[w + 1]; ++i) {
      visit(pair_key(chains.ids[i], chains.ids[i + 1]), i, w);
    }
  }
}

}  // namespace

void build_pairs(PairStats& pair_stats, const Chains& chains,
                 std::vector<uint32_t>& pair_positions) {
  Interrupt never;
  build_pairs(pair_stats, chains, pair_positions, never);
}

void build_pairs(PairStats& pair_stats, const Chains& chains, std::vector<uint32_t>& pair_positions,
                 Interrupt& interrupt) {
  // 1. Count: weighted occurrences in `count`, plain occurrences in `end` for the layout.
  for_each_pair(chains, interrupt, [&](uint32_t key, uint32_t, uint32_t w) {
    PairInfo& info = pair_stats[key];
    info.count += static_cast<int64_t>(chains.word_counts[w]);
    ++info.end;
  });
  // 2. Lay out: each pair gets a range as long as its number of occurrences.
  uint64_t offset = 0;
  pair_stats.for_each([&](uint32_t, PairInfo& info) {
    const uint32_t occurrences = info.end - info.begin;
    info.begin = info.end = static_cast<uint32_t>(offset);
    offset += occurrences;
    if (offset > std::numeric_limits<uint32_t>::max()) {
      throw std::length_error("more than 2^32 - 1 pair occurrences");
    }
  });
  pair_positions.resize(offset);
  // 3. Fill: left node indices, ascending within each pair.
  for_each_pair(chains, interrupt, [&](uint32_t key, uint32_t left, uint32_t) {
    PairInfo& info = *pair_stats.find(key);
    pair_positions[info.end++] = left;
  });
}
