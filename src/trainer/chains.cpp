#include "trainer/chains.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

Chains build_chains(WordCounts&& words, const std::vector<uint16_t>& symbol_ids) {
  Interrupt never;
  return build_chains(std::move(words), symbol_ids, never);
}

Chains build_chains(WordCounts&& words, const std::vector<uint16_t>& symbol_ids,
                    Interrupt& interrupt) {
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
  constexpr size_t kStride = size_t{1} << 16;
  for (size_t begin = 0; begin < chains.ids.size(); begin += kStride) {
    const size_t end = std::min(chains.ids.size(), begin + kStride);
    for (size_t i = begin; i < end; ++i) chains.ids[i] = symbol_ids[chains.ids[i]];
    interrupt.step(end - begin);
  }
  chains.dead_run.resize(chains.ids.size());
  return chains;
}
