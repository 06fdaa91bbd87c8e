#pragma once

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <vector>

#include "common/interrupt.h"
#include "common/realloc_array.h"
#include "common/system_memory.h"
#include "common/u32_map.h"
#include "trainer/word_counts.h"

// Marks a node absorbed into its left neighbour. Never a live id: a vocabulary holds at most
// 65535 tokens, ids 0 to 65534.
inline constexpr uint16_t kDeadId = 0xFFFF;

// The training text as chains of symbol nodes, one chain per distinct word, each word's nodes
// consecutive and left to right. A merge keeps the left node of a pair and marks the right one
// dead, so a node's neighbours are the nearest live nodes of its word. A word's first node is
// never absorbed, so dead nodes come in runs with a live node on their left; the first and last
// node of each dead run store the run's length, and a neighbour is found in one step however
// long the run: 3 bytes per symbol of the distinct words. Where the words begin is kept apart
// (WordSpans), so each lookup is given its word's bounds.
struct Chains {
  HugeVector<uint16_t> ids;  // token id of every node, kDeadId once merged
  // Length of the dead run, at its two ends only; kLongRun for a run that long or longer, whose
  // length is kept in long_runs. Left uninitialised: a page is touched only once merges leave
  // dead nodes on it.
  ReallocArray<uint8_t> dead_run;
  U32Map<uint32_t> long_runs;  // end node of a long dead run -> its length

  static constexpr uint8_t kLongRun = 0xFF;

  bool live(uint32_t node) const { return ids[node] != kDeadId; }
  // Nearest live node after `node` and before `end`, one past the last node of its word, or -1.
  int64_t next_before(uint32_t end, uint32_t node) const {
    uint32_t i = node + 1;
    if (i < end && !live(i)) i += run_length(i);
    return i < end ? int64_t{i} : -1;
  }
  // Nearest live node before `node` and not before `head`, the first node of its word, or -1.
  int64_t prev_after(uint32_t head, uint32_t node) const {
    if (node == head) return -1;
    const uint32_t i = node - 1;
    return live(i) ? int64_t{i} : int64_t{i} - run_length(i);
  }
  // Marks live `node`, which is not the first of its word, dead, joining the dead runs on
  // either side of it into one.
  void absorb(uint32_t node) {
    assert(node > 0 && live(node));
    ids[node] = kDeadId;
    uint32_t first = node, last = node;
    if (!live(node - 1)) first -= run_length(node - 1);
    // A dead node right of it lies in the same word: the next word's first node is live.
    if (node + 1 < ids.size() && !live(node + 1)) last += run_length(node + 1);
    const uint32_t length = last - first + 1;
    if (length >= kLongRun) {
      // The entries of the joined runs' inner ends stay behind, never read again: at most two
      // per absorbed node, and only long runs have any.
      long_runs[first] = length;
      long_runs[last] = length;
    }
    dead_run[first] = dead_run[last] = static_cast<uint8_t>(std::min<uint32_t>(length, kLongRun));
  }

 private:
  // Length of the dead run that `end` (dead) is the first or last node of.
  uint32_t run_length(uint32_t end) const {
    const uint8_t stored = dead_run[end];
    return stored < kLongRun ? stored : long_runs.known(end);
  }
};

// Where each distinct word lies in the chains and how often it occurs. Counting the pairs reads
// it; the merges find words through a WordIndex (below) made from it.
struct WordSpans {
  std::vector<uint32_t> word_heads;   // first node of each word, then one past the last node
  std::vector<uint64_t> word_counts;  // occurrences of each word in the corpus
  size_t size() const { return word_counts.size(); }
  uint32_t head(size_t w) const { return word_heads[w]; }
  uint64_t weight(size_t w) const { return word_counts[w]; }
};

// What build_chains makes of the counted words.
struct ChainedWords {
  Chains chains;
  WordSpans words;
};

// Turns the counted words into chains, each code unit numbered through `symbol_ids` (code unit
// -> token id), polling `interrupt` as it numbers the nodes. Consumes `words`; its storage
// becomes the node array. Throws std::length_error past 2^32 - 1 nodes.
ChainedWords build_chains(WordCounts&& words, const std::vector<uint16_t>& symbol_ids,
                          Interrupt& interrupt);

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
    return {words_[w].head, words_[w + 1].head, weight(w)};
  }

  // The words in order, as WordSpans gives them: for counting the pairs again.
  size_t size() const { return words_.size() - 1; }
  uint32_t head(size_t w) const { return words_[w].head; }
  uint64_t weight(size_t w) const {
    const uint32_t count = words_[w].count;
    return count < kBigCount ? count : big_counts_.known(static_cast<uint32_t>(w));
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
