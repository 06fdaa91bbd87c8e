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
    const auto found = pair_stats.find(top.key);
    if (found == pair_stats.end() || found->second.count <= 0) continue;
    if (found->second.count == top.count) return top.key;
    push(top.key, found->second.count);  // lowered since it was pushed
  }
  return std::nullopt;
}

void PairHeap::rebuild(const PairStats& pair_stats) {
  entries_.clear();
  for (const auto& [key, info] : pair_stats) {
    if (info.count > 0) entries_.push_back({info.count, key});
  }
  std::make_heap(entries_.begin(), entries_.end(), ranks_below);
}
