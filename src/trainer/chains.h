#pragma once

#include <cstdint>
#include <vector>

#include "common/interrupt.h"
#include "common/u32_map.h"
#include "trainer/word_counts.h"

// Marks a node absorbed into its left neighbour. Never a live id: a vocabulary holds at most
// 65535 tokens, ids 0 to 65534.
inline constexpr uint16_t kDeadId = 0xFFFF;

// The training text as chains of symbol nodes, one chain per distinct word, each word's nodes
// consecutive and left to right. A merge keeps the left node of a pair and marks the right one
// dead, so a node's neighbours are the nearest live nodes of its word. Each node is just its
// 16-bit id: 2 bytes per symbol of the distinct words.
struct Chains {
  std::vector<uint16_t> ids;          // token id of every node, kDeadId once merged
  std::vector<uint32_t> word_heads;   // first node of each word, then one past the last node
  std::vector<uint64_t> word_counts;  // occurrences of each word in the corpus

  size_t word_count() const { return word_counts.size(); }
  // Nearest live node after `node` in word `word`, or -1.
  int64_t next(uint32_t word, uint32_t node) const {
    for (uint32_t i = node + 1; i < word_heads[word + 1]; ++i) {
      if (ids[i] != kDeadId) return i;
    }
    return -1;
  }
  // Nearest live node before `node` in word `word`, or -1.
  int64_t prev(uint32_t word, uint32_t node) const {
    for (uint32_t i = node; i > word_heads[word];) {
      if (ids[--i] != kDeadId) return i;
    }
    return -1;
  }
};

// Statistics of one adjacent pair.
struct PairInfo {
  int64_t count = 0;   // live occurrences, each weighted by how often its word occurs
  uint32_t begin = 0;  // the pair's occurrences are pair_positions[begin, end): left nodes
  uint32_t end = 0;
};

using PairStats = U32Map<PairInfo>;

// Turns the counted words into chains, each code unit numbered through `symbol_ids` (code unit
// -> token id). Consumes `words`; its storage becomes the node array. Throws std::length_error
// past 2^32 - 1 nodes.
Chains build_chains(WordCounts&& words, const std::vector<uint16_t>& symbol_ids);

// Counts every adjacent pair of the chains (weighted by word count) into `pair_stats` and lays
// out each pair's occurrences as one ascending range of `pair_positions`.
void build_pairs(PairStats& pair_stats, const Chains& chains,
                 std::vector<uint32_t>& pair_positions);
// The same, polling `interrupt` as it walks the words.
void build_pairs(PairStats& pair_stats, const Chains& chains, std::vector<uint32_t>& pair_positions,
                 Interrupt& interrupt);
