#include "trainer/trainer.h"

#include <algorithm>
#include <bitset>
#include <iostream>
#include <memory>
#include <utf8.h>

#include "model/pair_key.h"
#include "report/progress.h"
#include "trainer/chains.h"
#include "trainer/pair_heap.h"

std::optional<InitialSymbols> initial_symbols(const WordCounts& words, int vocab_size) {
  auto seen = std::make_unique<std::bitset<65536>>();
  for (size_t w = 0; w < words.size(); ++w) {
    for (uint16_t unit : words.word(w)) seen->set(unit);
  }
  const size_t n = seen->count();
  if (static_cast<uint64_t>(static_cast<int64_t>(vocab_size)) < n) {
    std::cerr << "[trainer] : inital symbols are filled requried (" << vocab_size
              << ") size.\n so you should increase the vocab size !!\n";
    return std::nullopt;
  }
  if (static_cast<uint32_t>(vocab_size) > 65535) {
    std::cerr << "[trainer] : vocab_size exceeds ui16 range (65535).\n";
    return std::nullopt;
  }
  InitialSymbols symbols;
  symbols.symbol_ids.assign(65536, 0);
  symbols.vocab.reserve(static_cast<size_t>(vocab_size));
  for (uint32_t unit = 1; unit < 65536; ++unit) {
    if (!seen->test(unit)) continue;
    symbols.symbol_ids[unit] = static_cast<uint16_t>(symbols.vocab.size());
    std::string& text = symbols.vocab.emplace_back();
    utf8::append(unit, std::back_inserter(text));  // throws for a surrogate-range unit
  }
  return symbols;
}

namespace {

// The working state of the merge loop and the steps of one merge.
class MergeLoop {
 public:
  explicit MergeLoop(Chains chains) : chains_(std::move(chains)) {
    build_pairs(pair_stats_, chains_.word_heads, chains_.word_counts, chains_.nodes,
                pair_positions_);
    pair_heap_.rebuild(pair_stats_);
  }

  std::optional<uint32_t> best_pair() { return pair_heap_.pop_best(pair_stats_); }

  // Merges every occurrence of `key` into the token `new_id`, left to right, and keeps every
  // pair count equal to the weighted number of its live occurrences.
  void merge(uint32_t key, uint16_t new_id) {
    PairInfo& info = *pair_stats_.find(key);
    info.count = 0;
    const int64_t begin = info.begin, end = info.end;  // `info` may move as pairs are added
    for (int64_t k = begin; k < end; ++k) {
      merge_occurrence(pair_positions_[static_cast<size_t>(k)], pair_left(key), pair_right(key),
                       new_id);
    }
    commit_new_pairs();
    if (pair_heap_.size() > 3 * pair_stats_.size()) pair_heap_.rebuild(pair_stats_);
  }

 private:
  struct Recorded {
    uint32_t key;
    int32_t node;
    auto operator<=>(const Recorded&) const = default;
  };

  void merge_occurrence(int32_t p, uint16_t left, uint16_t right, uint16_t new_id) {
    std::vector<Node>& nodes = chains_.nodes;
    // An occurrence that overlaps one just merged (the second pair of a a a) no longer holds.
    const int32_t q = nodes[p].next;
    if (nodes[p].id != left || q == -1 || nodes[q].id != right) return;
    const auto weight = static_cast<int64_t>(chains_.word_counts[chains_.node_word[p]]);
    const int32_t s = nodes[q].next;
    nodes[p].id = new_id;
    nodes[p].next = s;
    if (s != -1) nodes[s].prev = p;
    nodes[q].id = kDeadId;
    if (const int32_t l = nodes[p].prev; l != -1) {
      lower(pair_key(nodes[l].id, left), weight);
      record(pair_key(nodes[l].id, new_id), l, weight);
    }
    if (s != -1) {
      lower(pair_key(right, nodes[s].id), weight);
      record(pair_key(new_id, nodes[s].id), p, weight);
    }
  }

  void lower(uint32_t key, int64_t weight) {
    if (PairInfo* info = pair_stats_.find(key)) info->count = std::max<int64_t>(0, info->count - weight);
  }

  void record(uint32_t key, int32_t node, int64_t weight) {
    pair_stats_[key].count += weight;
    recorded_.push_back({key, node});
  }

  // Every pair recorded by this merge contains the new token, so it had no occurrences before:
  // its occurrences become one ascending range at the end of pair_positions, and it enters the
  // heap with its final count.
  void commit_new_pairs() {
    std::sort(recorded_.begin(), recorded_.end());
    recorded_.erase(std::unique(recorded_.begin(), recorded_.end()), recorded_.end());
    for (size_t i = 0; i < recorded_.size();) {
      const uint32_t key = recorded_[i].key;
      PairInfo& info = *pair_stats_.find(key);
      info.begin = static_cast<int64_t>(pair_positions_.size());
      for (; i < recorded_.size() && recorded_[i].key == key; ++i) {
        pair_positions_.push_back(recorded_[i].node);
      }
      info.end = static_cast<int64_t>(pair_positions_.size());
      if (info.count > 0) pair_heap_.push(key, info.count);
    }
    recorded_.clear();
  }

  Chains chains_;
  PairStats pair_stats_;
  std::vector<int32_t> pair_positions_;
  PairHeap pair_heap_;
  std::vector<Recorded> recorded_;
};

}  // namespace

TrainedTables train_words(WordCounts words, InitialSymbols symbols, int vocab_size) {
  TrainedTables tables;
  tables.vocab = std::move(symbols.vocab);
  // 1. Chains of the distinct words; the counted words are no longer needed.
  Chains chains = build_chains(words, symbols.symbol_ids);
  words = WordCounts();
  // 2. Pair statistics and the heap.
  MergeLoop loop(std::move(chains));
  // 3. Merge the best pair until the vocabulary is full or no pair is left.
  const auto target = static_cast<uint32_t>(vocab_size);
  auto vocab_count = static_cast<uint32_t>(tables.vocab.size());
  for (uint32_t rank = 0; vocab_count < target; ++rank) {
    const std::optional<uint32_t> key = loop.best_pair();
    if (!key) break;
    tables.merge_rank[*key] = rank;
    tables.vocab.push_back(tables.vocab[pair_left(*key)] + tables.vocab[pair_right(*key)]);
    loop.merge(*key, static_cast<uint16_t>(vocab_count));
    ++vocab_count;
    progress_bar(static_cast<int>(vocab_count), vocab_size, "BPE Trainer");
  }
  std::cout << '\n' << std::flush;
  // 4. The reverse table: a text that occurs twice maps to its higher id.
  tables.token_to_id.reserve(tables.vocab.size());
  for (size_t id = 0; id < tables.vocab.size(); ++id) {
    tables.token_to_id[tables.vocab[id]] = static_cast<uint32_t>(id);
  }
  return tables;
}

void publish(BPE& model, TrainedTables&& tables) noexcept {
  model.vocab = std::move(tables.vocab);
  model.merge_rank = std::move(tables.merge_rank);
  model.token_to_id = std::move(tables.token_to_id);
}
