#include "trainer/word_index.h"

#include <algorithm>
#include <utility>
#include <vector>

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
