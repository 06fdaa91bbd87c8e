#pragma once

#include <cstdint>
#include <vector>

#include "model/u32_map.h"
#include "trainer/word_counts.h"

// Marks a node absorbed into its left neighbour. Never a live id: a vocabulary holds at most
// 65535 tokens, ids 0 to 65534.
inline constexpr uint16_t kDeadId = 0xFFFF;

// One symbol of one distinct word. Nodes of a word are consecutive, left to right.
struct Node {
  uint16_t id;   // token id, kDeadId once merged into the node on its left
  int32_t prev;  // previous live node of the word, -1 at its first node
  int32_t next;  // next live node of the word, -1 at its last node
};

// Statistics of one adjacent pair.
struct PairInfo {
  int64_t count = 0;  // live occurrences, each weighted by how often its word occurs
  int64_t begin = 0;  // the pair's occurrences are pair_positions[begin, end): left node indices
  int64_t end = 0;
};

using PairStats = U32Map<PairInfo>;

// The training text as chains of symbol nodes, one chain per distinct word.
struct Chains {
  std::vector<Node> nodes;
  std::vector<int32_t> word_heads;    // first node of each word
  std::vector<uint64_t> word_counts;  // occurrences of each word in the corpus
  std::vector<int32_t> node_word;     // word of each node
};

// Builds one chain per word of `words`, its symbols numbered through `symbol_ids` (code unit ->
// token id). Throws std::length_error past 2^31 - 1 nodes.
Chains build_chains(const WordCounts& words, const std::vector<uint16_t>& symbol_ids);

// Counts every adjacent pair of the chains (weighted by word count) into `pair_stats` and lays
// out each pair's occurrences as one ascending range of `pair_positions`.
void build_pairs(PairStats& pair_stats, const std::vector<int32_t>& word_heads,
                 const std::vector<uint64_t>& word_counts, const std::vector<Node>& nodes,
                 std::vector<int32_t>& pair_positions);
