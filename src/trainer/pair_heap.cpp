#include "trainer/pair_heap.h"

#include <algorithm>

void PairHeap::push(uint32_t key, int64_t count) {
  entries_.push_back({count, key});
  std::push_heap(entries_.begin(), entries_.end(), ranks_below);
}

std::optional<uint32_t> PairHeap::pop_best(const PairStats& pair_stats) {
  while (!entries_.empty()) {
    std::pop_heap(entries_.begin(), entries_.end(), ranks_below);
    const Entry top = entries_.back();
    entries_.pop_back();
    const PairInfo* info = pair_stats.find(top.key);
    if (info == nullptr || info->count <= 0) continue;
    if (info->count == top.count) return top.key;
    push(top.key, info->count);  // lowered since it was pushed
  }
  return std::nullopt;
}

void PairHeap::rebuild(const PairStats& pair_stats) {
  entries_.clear();
  pair_stats.for_each([&](uint32_t key, const PairInfo& info) {
    if (info.count > 0) entries_.push_back({info.count, key});
  });
  std::make_heap(entries_.begin(), entries_.end(), ranks_below);
}
