#include "trainer/pair_stats.h"

#include <algorithm>
#include <functional>
#include <vector>

#include "common/pair_key.h"

namespace {

// Calls visit(key, first left node, length, word) for every run of equal adjacent pairs of the
// live nodes of every chain, in text order: a run of one symbol (indentation, "=====", a long
// run of letters) gives the same pair at consecutive nodes, counted at once instead of node by
// node. A dead node ends a run, for its id matches no live one. The map is far larger than the
// cache when most pairs are rare (text without spaces): the slot of the pair kAhead nodes ahead
// is fetched meanwhile, far enough ahead for the fetch to arrive before the walk does, near
// enough that the slot is still in the cache then.
template <class Words, class Visit>
void for_each_pair_run(const PairStats& pair_stats, const Chains& chains, const Words& words,
                       Interrupt& interrupt, Visit visit) {
  constexpr uint32_t kAhead = 16;
  const HugeVector<uint16_t>& ids = chains.ids;
  const auto nodes = static_cast<uint32_t>(ids.size());
  for (uint32_t w = 0; w < words.size(); ++w) {
    const uint32_t head = words.head(w), end = words.head(w + 1);
    interrupt.step(end - head + 1);
    for (uint32_t i = head;;) {
      const int64_t next = chains.next_before(end, i);
      if (next == -1) break;
      // Across a word's end or a dead node the pair ahead may be none that is counted: a
      // wasted fetch only.
      if (i + kAhead + 1 < nodes)
        pair_stats.prefetch(pair_key(ids[i + kAhead], ids[i + kAhead + 1]));
      auto j = static_cast<uint32_t>(next);
      const uint32_t key = pair_key(ids[i], ids[j]);
      uint32_t length = 1;
      if (j == i + 1 && ids[i] == ids[j]) {  // only then can the next node's pair be the same
        for (; j + 1 < end && ids[j + 1] == ids[i]; ++j) ++length;
      }
      visit(key, i, length, w);
      i = j;
    }
  }
}

}  // namespace

int64_t count_at_rank(const PairStats& pair_stats, size_t rank) {
  if (pair_stats.size() <= rank) return 1;
  std::vector<int64_t> counts;
  counts.reserve(pair_stats.size());
  pair_stats.for_each([&](uint32_t, const PairInfo& info) { counts.push_back(info.count); });
  std::nth_element(counts.begin(), counts.begin() + static_cast<ptrdiff_t>(rank), counts.end(),
                   std::greater<>());
  return std::max<int64_t>(1, counts[rank]);
}

template <class Words>
int64_t build_pairs(PairStats& pair_stats, const Chains& chains, const Words& words,
                    PositionArray& pair_positions, std::vector<uint32_t>& list_order, size_t wanted,
                    Interrupt& interrupt) {
  // 1. Count: each pair's weighted count and the bytes of its list; `begin` holds the pair's
  // last left node so far, from which the next gap is taken.
  for_each_pair_run(pair_stats, chains, words, interrupt,
                    [&](uint32_t key, uint32_t left, uint32_t length, uint32_t w) {
                      PairInfo& info = pair_stats[key];
                      info.count += static_cast<int64_t>(words.weight(w)) * length;
                      info.length += gap_bytes(left - info.begin) + (length - 1);
                      info.begin = left + length - 1;
                    });
  const int64_t floor = wanted == 0 ? 1 : count_at_rank(pair_stats, wanted - 1);
  // 2. Lay out: each list gets its range, in the order pair_stats.for_each visits the pairs; a
  // pair below the floor gets none (length 0, which no counted pair has). The counts wait aside
  // while `count` holds the fill's state: the bytes written (low half) and the last node
  // written (high half).
  std::vector<int64_t> counts;
  counts.reserve(pair_stats.size());
  list_order.clear();
  size_t offset = 0;
  pair_stats.for_each([&](uint32_t key, PairInfo& info) {
    counts.push_back(info.count);
    info.count = 0;
    if (counts.back() < floor) {
      info.begin = info.length = 0;
      return;
    }
    info.begin = position_index(offset / kListAlign);
    offset = list_aligned(offset + info.length);
    list_order.push_back(key);
  });
  pair_positions.resize(offset);
  // 3. Fill: the gaps of each list, from its ascending left nodes; a run's nodes are 1 apart.
  for_each_pair_run(pair_stats, chains, words, interrupt,
                    [&](uint32_t key, uint32_t left, uint32_t length, uint32_t) {
                      PairInfo& info = pair_stats.known(key);
                      if (info.length == 0) return;  // below the floor
                      const auto state = static_cast<uint64_t>(static_cast<int64_t>(info.count));
                      const auto written = static_cast<uint32_t>(state);
                      uint8_t* const out = pair_positions.data() + list_start(info) + written;
                      uint8_t* end = put_gap(out, left - static_cast<uint32_t>(state >> 32));
                      for (uint32_t k = 1; k < length; ++k) *end++ = 1;
                      const uint64_t last = left + length - 1;
                      info.count = static_cast<int64_t>(last << 32 | (written + (end - out)));
                    });
  // 4. The counts back, in the same order; the pairs below the floor leave the map, which moves
  // entries but not the lists list_order names.
  size_t i = 0;
  pair_stats.for_each([&](uint32_t, PairInfo& info) { info.count = counts[i++]; });
  if (floor > 1) {
    pair_stats.erase_if([&](uint32_t, const PairInfo& info) { return info.count < floor; });
  }
  return floor;
}

template int64_t build_pairs(PairStats&, const Chains&, const WordSpans&, PositionArray&,
                             std::vector<uint32_t>&, size_t, Interrupt&);
template int64_t build_pairs(PairStats&, const Chains&, const WordIndex&, PositionArray&,
                             std::vector<uint32_t>&, size_t, Interrupt&);
