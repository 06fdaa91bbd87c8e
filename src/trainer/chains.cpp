#include "trainer/chains.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

ChainedWords build_chains(WordCounts&& words, const std::vector<uint16_t>& symbol_ids,
                          Interrupt& interrupt) {
  if (words.total_units() >= std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("training text has 2^32 or more symbols in distinct words");
  }
  ChainedWords built;
  std::vector<uint32_t>& heads = built.words.word_heads;
  heads.reserve(words.size() + 1);
  for (size_t w = 0; w <= words.size(); ++w) {
    heads.push_back(static_cast<uint32_t>(words.word_start(w)));
  }
  built.words.word_counts = words.take_counts();
  HugeVector<uint16_t>& ids = built.chains.ids;
  ids = words.take_units();
  // The arrays grew by doubling while the corpus was read; they keep their size from now on.
  built.words.word_counts.shrink_to_fit();
  ids.shrink_to_fit();
  constexpr size_t kStride = size_t{1} << 16;  // nodes numbered between two polls
  for (size_t begin = 0; begin < ids.size(); begin += kStride) {
    const size_t end = std::min(ids.size(), begin + kStride);
    for (size_t i = begin; i < end; ++i) ids[i] = symbol_ids[ids[i]];
    interrupt.step(end - begin);
  }
  built.chains.dead_run.resize(ids.size());
  return built;
}

WordIndex::WordIndex(WordSpans&& spans, size_t nodes) {
  const WordSpans words = std::move(spans);
  const std::vector<uint32_t>& heads = words.word_heads;
  words_.reserve(heads.size());
  for (size_t w = 0; w < heads.size(); ++w) {
    const uint64_t count = w < words.size() ? words.word_counts[w] : 0;
    if (count >= kBigCount) big_counts_[static_cast<uint32_t>(w)] = count;
    words_.push_back({heads[w], static_cast<uint32_t>(std::min<uint64_t>(count, kBigCount))});
  }
  blocks_.resize((nodes + kBlock - 1) / kBlock);
  uint32_t w = 0;
  for (size_t b = 0; b < blocks_.size(); ++b) {
    while (heads[w + 1] <= b * kBlock) ++w;  // words are never empty: heads ascend strictly
    blocks_[b] = w;
  }
}
