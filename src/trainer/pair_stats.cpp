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
  // 1. Count: each pair's weighted count and the bytes of its list; `begin` holds the pair's
  // last left node so far, from which the next gap is taken.
  for_each_pair_run(pair_stats, chains, words, interrupt,
                    [&](uint32_t key, uint32_t left, uint32_t length, uint32_t w) {
                      PairInfo& info = pair_stats[key];
                      info.count += static_cast<int64_t>(words.word_counts[w]) * length;
                      info.length += gap_bytes(left - info.begin) + (length - 1);
                      info.begin = left + length - 1;
                    });
  // 2. Lay out: each list gets its range, in the order pair_stats.for_each visits the pairs. The
  // counts wait aside while `count` holds the fill's state: the bytes written (low half) and the
  // last node written (high half).
  std::vector<int64_t> counts;
  counts.reserve(pair_stats.size());
  size_t offset = 0;
  pair_stats.for_each([&](uint32_t, PairInfo& info) {
    counts.push_back(info.count);
    info.count = 0;
    info.begin = position_index(offset / kListAlign);
    offset = list_aligned(offset + info.length);
  });
  pair_positions.resize(offset);
  // 3. Fill: the gaps of each list, from its ascending left nodes; a run's nodes are 1 apart.
  for_each_pair_run(pair_stats, chains, words, interrupt,
                    [&](uint32_t key, uint32_t left, uint32_t length, uint32_t) {
                      PairInfo& info = pair_stats.known(key);
                      const auto state = static_cast<uint64_t>(static_cast<int64_t>(info.count));
                      const auto written = static_cast<uint32_t>(state);
                      uint8_t* const out = pair_positions.data() + list_start(info) + written;
                      uint8_t* end = put_gap(out, left - static_cast<uint32_t>(state >> 32));
                      for (uint32_t k = 1; k < length; ++k) *end++ = 1;
                      const uint64_t last = left + length - 1;
                      info.count = static_cast<int64_t>(last << 32 | (written + (end - out)));
                    });
  // 4. The counts back, in the same order.
  size_t i = 0;
  pair_stats.for_each([&](uint32_t, PairInfo& info) { info.count = counts[i++]; });
}
