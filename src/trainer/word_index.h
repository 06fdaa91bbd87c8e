#pragma once

#include <cstddef>
#include <cstdint>

#include "common/system_memory.h"
#include "common/u32_map.h"
#include "trainer/chains.h"

// Finds the word of a node in a few steps that stay on one or two cache lines: an index of the
// word at every kBlock-th node, then a short forward scan over the word starts, each stored
// beside its word's count. A merge looks up the word of every occurrence it visits.
class WordIndex {
 public:
  struct Word {
    uint32_t head;    // first node
    uint32_t end;     // one past the last node
    uint64_t weight;  // occurrences of the word
  };

  // Indexes the words of `spans` over `nodes` nodes, and releases the spans.
  WordIndex(WordSpans&& spans, size_t nodes);

  // Starts loading the index entry of `node`; once that has arrived, `prefetch_word` starts
  // loading the word's entry.
  void prefetch(uint32_t node) const { __builtin_prefetch(blocks_.data() + node / kBlock); }
  void prefetch_word(uint32_t node) const {
    __builtin_prefetch(words_.data() + blocks_[node / kBlock]);
  }

  // The word holding `node`.
  Word word_of(uint32_t node) const {
    uint32_t w = blocks_[node / kBlock];
    while (words_[w + 1].head <= node) ++w;
    const uint32_t count = words_[w].count;
    return {words_[w].head, words_[w + 1].head,
            count < kBigCount ? count : big_counts_.known(w)};
  }

 private:
  // Nodes per index entry: the scan from an entry passes the starts of the words that begin in
  // one block, mostly a few, on the cache line or two they share.
  static constexpr uint32_t kBlock = 32;
  static constexpr uint32_t kBigCount = 0xFFFFFFFF;  // this or more: read the full count

  struct Entry {
    uint32_t head;
    uint32_t count;  // the word's count, or kBigCount
  };
  HugeVector<Entry> words_;      // per word, then one entry for the end of the last word
  HugeVector<uint32_t> blocks_;  // word of every kBlock-th node
  U32Map<uint64_t> big_counts_;  // word -> its count, for counts of kBigCount or more
};
