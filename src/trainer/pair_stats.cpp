#include "trainer/pair_stats.h"

#include <vector>

#include "common/pair_key.h"

namespace {

// Calls visit(key, first left node, length, word) for every run of equal adjacent pairs of
// every chain, in text order: a run of one symbol (indentation, "=====", a long run of
// letters) gives the same pair at consecutive nodes, counted at once instead of node by node.
// The map is far larger than the cache when most pairs are rare (text without spaces): the slot
// of the pair kAhead nodes ahead is fetched meanwhile, far enough ahead for the fetch to arrive
// before the walk does, near enough that the slot is still in the cache then.
template <class Visit>
void for_each_pair_run(const PairStats& pair_stats, const Chains& chains, const WordSpans& words,
                       Interrupt& interrupt, Visit visit) {
  constexpr uint32_t kAhead = 16;
  const HugeVector<uint16_t>& ids = chains.ids;
  const std::vector<uint32_t>& heads = words.word_heads;
  const auto nodes = static_cast<uint32_t>(ids.size());
  for (uint32_t w = 0; w < words.size(); ++w) {
    interrupt.step(heads[w + 1] - heads[w] + 1);
    const uint32_t last = heads[w + 1] - 1;  // the word's last node
    for (uint32_t i = heads[w]; i < last;) {
      // Across a word's end the pair ahead may be none that is counted: a wasted fetch only.
      if (i + kAhead + 1 < nodes)
        pair_stats.prefetch(pair_key(ids[i + kAhead], ids[i + kAhead + 1]));
      const uint32_t key = pair_key(ids[i], ids[i + 1]);
      uint32_t end = i + 1;
      if (ids[i] == ids[i + 1]) {  // only then can the next node's pair be the same
        while (end < last && ids[end + 1] == ids[i]) ++end;
      }
      visit(key, i, end - i, w);
      i = end;
    }
  }
}

}  // namespace

void build_pairs(PairStats& pair_stats, const Chains& chains, const WordSpans& words,
                 PositionArray& pair_positions, Interrupt& interrupt) {
  // 1. Count: each pair's weighted count and the length of its list.
  for_each_pair_run(pair_stats, chains, words, interrupt,
                    [&](uint32_t key, uint32_t, uint32_t length, uint32_t w) {
                      PairInfo& info = pair_stats[key];
                      info.count += static_cast<int64_t>(words.word_counts[w]) * length;
                      info.length += length;
                    });
  // 2. Lay out: each list gets its range, in the order pair_stats.for_each visits the pairs;
  // `begin` is the write cursor until step 4 (see PairInfo).
  uint64_t offset = 0;
  pair_stats.for_each([&](uint32_t, PairInfo& info) {
    info.begin = position_index(offset);
    offset += info.length;
  });
  pair_positions.resize(position_index(offset));
  // 3. Fill: left node indices, ascending within each list.
  for_each_pair_run(pair_stats, chains, words, interrupt,
                    [&](uint32_t key, uint32_t left, uint32_t length, uint32_t) {
                      PairInfo& info = pair_stats.known(key);
                      uint32_t* out = pair_positions.data() + info.begin;
                      for (uint32_t k = 0; k < length; ++k) out[k] = left + k;
                      info.begin += length;
                    });
  // 4. Each cursor stands one past its list: back to the list's start.
  pair_stats.for_each([&](uint32_t, PairInfo& info) { info.begin -= info.length; });
}
