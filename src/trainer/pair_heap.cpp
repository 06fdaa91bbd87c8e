#include "trainer/pair_heap.h"

std::optional<uint32_t> PairHeap::pop_best(const PairStats& pair_stats) {
  for (;;) {
    while (!entries_.empty()) {
      std::pop_heap(entries_.begin(), entries_.end(), ranks_below);
      const Entry top = entries_.back();
      entries_.pop_back();
      // Most tops are stale: the next one's statistics load while this one's are checked.
      if (!entries_.empty()) pair_stats.prefetch(entries_.front().key);
      // A dead pair's entry is stale, whether or not the pair has left the map.
      const PairInfo* info = pair_stats.find(top.key);
      if (info == nullptr || is_dead(*info)) continue;
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
