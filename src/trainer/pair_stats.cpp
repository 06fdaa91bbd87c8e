#include "trainer/pair_stats.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>

#include "common/pair_key.h"

namespace {

// Calls visit(key, first left node, length, word) for every run of equal adjacent pairs of
// every chain, in text order: a run of one symbol (indentation, "=====", a long run of
// letters) gives the same pair at consecutive nodes, counted at once instead of node by node.
// The map is far larger than the cache when most pairs are rare (text without spaces): the slot
// of the pair a few nodes ahead is fetched meanwhile.
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

uint32_t position_index(size_t index) {
  if (index > std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("more than 2^32 - 1 pair occurrences");
  }
  return static_cast<uint32_t>(index);
}

}  // namespace

void build_pairs(PairStats& pair_stats, const Chains& chains, const WordSpans& words,
                 PositionArray& pair_positions, Interrupt& interrupt) {
  // 1. Count: weighted occurrences in `count`, plain occurrences in `end` for the layout.
  for_each_pair_run(pair_stats, chains, words, interrupt,
                    [&](uint32_t key, uint32_t, uint32_t length, uint32_t w) {
                      PairInfo& info = pair_stats[key];
                      info.count += static_cast<int64_t>(words.word_counts[w]) * length;
                      info.end += length;
                    });
  // 2. Lay out: each pair gets a range as long as its number of occurrences, in the order
  // pair_stats.for_each visits the pairs.
  uint64_t offset = 0;
  pair_stats.for_each([&](uint32_t, PairInfo& info) {
    const uint32_t occurrences = info.end - info.begin;
    info.begin = info.end = position_index(offset);
    offset += occurrences;
  });
  pair_positions.resize(position_index(offset));
  // 3. Fill: left node indices, ascending within each pair.
  for_each_pair_run(pair_stats, chains, words, interrupt,
                    [&](uint32_t key, uint32_t left, uint32_t length, uint32_t) {
                      PairInfo& info = *pair_stats.find(key);
                      uint32_t* out = pair_positions.data() + info.end;
                      for (uint32_t k = 0; k < length; ++k) out[k] = left + k;
                      info.end += length;
                    });
}

void PairHeap::push(uint32_t key, int64_t count) {
  if (count < floor_) return;
  entries_.push_back({count, key});
  std::push_heap(entries_.begin(), entries_.end(), ranks_below);
}

std::optional<uint32_t> PairHeap::pop_best(const PairStats& pair_stats) {
  for (;;) {
    while (!entries_.empty()) {
      std::pop_heap(entries_.begin(), entries_.end(), ranks_below);
      const Entry top = entries_.back();
      entries_.pop_back();
      // Most tops are stale: the next one's statistics load while this one's are checked.
      if (!entries_.empty()) pair_stats.prefetch(entries_.front().key);
      const PairInfo* info = pair_stats.find(top.key);
      if (info == nullptr || info->count <= 0) continue;
      if (info->count == top.count) return top.key;
      push(top.key, info->count);  // lowered since it was pushed
    }
    // Every pair that reached the floor is used up or below it now.
    if (floor_ <= 1) return std::nullopt;
    rebuild(pair_stats, floor_ / 2);
  }
}

void PairHeap::rebuild(const PairStats& pair_stats, int64_t floor) {
  floor_ = std::max<int64_t>(1, floor);
  entries_.clear();
  pair_stats.for_each([&](uint32_t key, const PairInfo& info) {
    if (info.count >= floor_) entries_.push_back({info.count, key});
  });
  std::make_heap(entries_.begin(), entries_.end(), ranks_below);
}

PairTracker::PairTracker(const Chains& chains, const WordSpans& words, Interrupt& interrupt) {
  build_pairs(stats_, chains, words, positions_, interrupt);
  // The lists lie in the order the map visits its pairs, and the map is unchanged since.
  list_order_.reserve(stats_.size());
  stats_.for_each([&](uint32_t key, const PairInfo&) { list_order_.push_back(key); });
  // The first floor: the count of about the kHeld-th most frequent pair.
  constexpr size_t kHeld = size_t{1} << 12;
  std::vector<int64_t> counts;
  counts.reserve(stats_.size());
  stats_.for_each([&](uint32_t, const PairInfo& info) { counts.push_back(info.count); });
  int64_t floor = 1;
  if (counts.size() > kHeld) {
    std::nth_element(counts.begin(), counts.begin() + kHeld, counts.end(), std::greater<>());
    floor = counts[kHeld];
  }
  heap_.rebuild(stats_, floor);
}

std::span<const uint32_t> PairTracker::take(uint32_t key) {
  PairInfo& info = *stats_.find(key);
  info.count = 0;
  // Most occurrences share their neighbouring pairs: room for as many as there are nodes, up
  // to a bound, and growth past it.
  touched_index_.clear(std::min<size_t>(info.end - info.begin, 1024));
  // Each occurrence records at most two new pairs: room for them all now, rather than growth
  // that copies the records made so far. Pages never written are never faulted in.
  recorded_.reserve(2 * size_t{info.end - info.begin});
  return {positions_.data() + info.begin, positions_.data() + info.end};
}

void PairTracker::commit_new_pairs() {
  constexpr size_t kAhead = 8;
  // 1. The pairs that only lost occurrences existed before the merge. A count never drops
  // below 0: only the merged pair, already at 0, can lose more than it holds.
  for (size_t i = 0; i < touched_.size(); ++i) {
    if (i + kAhead < touched_.size()) stats_.prefetch(touched_[i + kAhead]);
    if (fill_[i] != 0) continue;
    if (PairInfo* info = stats_.find(touched_[i])) {
      info->count = std::max<int64_t>(0, info->count + changes_[i]);
    }
  }
  // 2. The created pairs, each given a range in order of arrival. A pair's nodes arrive in
  // ascending order and never twice (a merge walks its occurrences left to right, and a node
  // recorded as a new pair's left node is passed by then), so bucketing the records by pair in
  // arrival order sorts them.
  if (positions_.size() + recorded_.size() > positions_.capacity()) {
    compact_positions(recorded_.size());
  }
  size_t offset = positions_.size();
  for (size_t i = 0; i < touched_.size(); ++i) {
    if (i + kAhead < touched_.size() && fill_[i + kAhead] != 0)
      stats_.prefetch(touched_[i + kAhead]);
    if (fill_[i] == 0) continue;
    PairInfo& info = stats_[touched_[i]];
    info.count = changes_[i];
    info.begin = position_index(offset);
    offset += fill_[i];
    info.end = position_index(offset);
    list_order_.push_back(touched_[i]);
    fill_[i] = info.begin;
    if (info.count > 0) heap_.push(touched_[i], info.count);
  }
  positions_.resize(offset);
  for (const Recorded& r : recorded_) positions_[fill_[r.slot]++] = r.node;
  touched_.clear();
  changes_.clear();
  fill_.clear();
  recorded_.clear();
}

// A pair whose count is 0 can never occur again (only a merge's new pairs gain occurrences),
// so its occurrence list is dead. Instead of doubling the position array, slide the live lists
// down over the dead ones, in the order they lie in, and make sure the array has room for
// `incoming` more entries and half as much again. The array never shrinks: the next merges
// write the pages past the live lists again, and giving them back would only have them faulted
// in anew.
void PairTracker::compact_positions(size_t incoming) {
  constexpr size_t kAhead = 8;
  size_t kept = 0, kept_lists = 0;
  for (size_t i = 0; i < list_order_.size(); ++i) {
    if (i + kAhead < list_order_.size()) stats_.prefetch(list_order_[i + kAhead]);
    PairInfo& info = *stats_.find(list_order_[i]);
    const uint32_t begin = info.begin, length = info.end - info.begin;
    info.begin = info.end = 0;
    if (info.count <= 0) continue;
    std::memmove(positions_.data() + kept, positions_.data() + begin, length * sizeof(uint32_t));
    info.begin = position_index(kept);
    kept += length;
    info.end = position_index(kept);
    list_order_[kept_lists++] = list_order_[i];
  }
  list_order_.resize(kept_lists);
  positions_.resize(kept);
  const size_t wanted = kept + incoming + (kept + incoming) / 2;
  positions_.reserve(wanted);
}
