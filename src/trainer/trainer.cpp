#include "trainer/trainer.h"

#include <utf8.h>
#include <algorithm>
#include <bitset>
#include <iostream>
#include <memory>
#include <span>

#include "common/messages.h"
#include "common/pair_key.h"
#include "common/u32_map.h"
#include "report/progress.h"
#include "trainer/chains.h"
#include "trainer/pair_stats.h"

std::optional<InitialSymbols> initial_symbols(const WordCounts& words, int vocab_size) {
  auto seen = std::make_unique<std::bitset<65536>>();
  for (size_t w = 0; w < words.size(); ++w) {
    for (uint16_t unit : words.word(w)) seen->set(unit);
  }
  const size_t n = seen->count();
  // Sign-extended, then compared unsigned: a negative size passes here and fails the next check.
  if (static_cast<uint64_t>(static_cast<int64_t>(vocab_size)) < n) {
    std::cerr << message::kVocabTooSmallBefore << vocab_size << message::kVocabTooSmallAfter;
    return std::nullopt;
  }
  if (static_cast<uint32_t>(vocab_size) > 65535) {
    std::cerr << message::kVocabTooLarge;
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

// Finds the word of a node in a few steps that stay on one or two cache lines: an index of the
// word at every 32nd node, then a short forward scan over the word starts, each stored beside
// its word's count.
class WordFinder {
 public:
  struct Word {
    uint32_t head;    // first node
    uint32_t end;     // one past the last node
    uint64_t weight;  // occurrences of the word
  };

  explicit WordFinder(const Chains& chains) {
    const std::vector<uint32_t>& heads = chains.word_heads;
    words_.reserve(heads.size());
    for (size_t w = 0; w < heads.size(); ++w) {
      const uint64_t count = w < chains.word_count() ? chains.word_counts[w] : 0;
      if (count >= kBigCount) big_counts_[static_cast<uint32_t>(w)] = count;
      words_.push_back({heads[w], static_cast<uint32_t>(std::min<uint64_t>(count, kBigCount))});
    }
    blocks_.resize((chains.ids.size() + kBlock - 1) / kBlock);
    uint32_t w = 0;
    for (size_t b = 0; b < blocks_.size(); ++b) {
      while (heads[w + 1] <= b * kBlock) ++w;  // words are never empty: heads ascend strictly
      blocks_[b] = w;
    }
  }

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
    return {words_[w].head, words_[w + 1].head, count < kBigCount ? count : *big_counts_.find(w)};
  }

 private:
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

// The chains and the pair statistics while merging, and the walk of one merge.
class MergeLoop {
 public:
  MergeLoop(Chains chains, Interrupt& interrupt)
      : chains_(std::move(chains)),
        words_(chains_),
        interrupt_(interrupt),
        pairs_(chains_, interrupt) {
    // From here on words are found through words_ alone: give back the per-word arrays.
    chains_.word_heads = {};
    chains_.word_counts = {};
  }

  std::optional<uint32_t> best_pair() { return pairs_.best_pair(); }

  // Merges every occurrence of `key` into the token `new_id`, left to right, and keeps every
  // pair count equal to the weighted number of its live occurrences.
  void merge(uint32_t key, uint16_t new_id) {
    const std::span<const uint32_t> nodes = pairs_.take(key);
    NeighbourPairs on_left, on_right;
    // The nodes lie far apart in the array: ask for a later one while this one is merged, and
    // for the first ones at once (most merges visit only a few dozen nodes).
    for (size_t k = 0; k < std::min(nodes.size(), kPrefetchAhead); ++k) prefetch_node(nodes[k]);
    for (size_t k = 0; k < nodes.size(); ++k) {
      if (k + kPrefetchAhead < nodes.size()) prefetch_node(nodes[k + kPrefetchAhead]);
      if (k + kPrefetchAhead / 2 < nodes.size())
        words_.prefetch_word(nodes[k + kPrefetchAhead / 2]);
      merge_occurrence(nodes[k], pair_left(key), pair_right(key), new_id, on_left, on_right);
      interrupt_.step();
    }
    pairs_.commit_new_pairs();
  }

 private:
  static constexpr size_t kPrefetchAhead = 16;

  void prefetch_node(uint32_t node) const {
    __builtin_prefetch(chains_.ids.data() + node);
    __builtin_prefetch(chains_.dead_run.data() + node);
    words_.prefetch(node);
  }

  // The two pairs a merge changes beside one neighbour: the one it destroys and the one it
  // creates. The next occurrence often has a neighbour of the same id (in a run of one symbol,
  // always), and then finds both without a lookup.
  struct NeighbourPairs {
    uint32_t id = 0x10000;  // the neighbour's id; no id at first
    uint32_t lost = 0;      // indices among the pairs the merge has touched
    uint32_t made = 0;
  };

  void merge_occurrence(uint32_t p, uint16_t left, uint16_t right, uint16_t new_id,
                        NeighbourPairs& on_left, NeighbourPairs& on_right) {
    HugeVector<uint16_t>& ids = chains_.ids;
    // An occurrence that overlaps one just merged (the second pair of a a a) no longer holds.
    if (ids[p] != left) return;
    const WordFinder::Word word = words_.word_of(p);
    const int64_t q = chains_.next_before(word.end, p);
    if (q == -1 || ids[q] != right) return;
    const auto weight = static_cast<int64_t>(word.weight);
    const int64_t s = chains_.next_before(word.end, static_cast<uint32_t>(q));
    ids[p] = new_id;
    chains_.absorb(static_cast<uint32_t>(q));
    if (const int64_t l = chains_.prev_after(word.head, p); l != -1) {
      if (const uint16_t id = ids[l]; id != on_left.id) {
        on_left = {id, pairs_.touch(pair_key(id, left)), pairs_.touch(pair_key(id, new_id))};
      }
      pairs_.lower_at(on_left.lost, weight);
      pairs_.record_at(on_left.made, static_cast<uint32_t>(l), weight);
    }
    if (s != -1) {
      if (const uint16_t id = ids[s]; id != on_right.id) {
        on_right = {id, pairs_.touch(pair_key(right, id)), pairs_.touch(pair_key(new_id, id))};
      }
      pairs_.lower_at(on_right.lost, weight);
      pairs_.record_at(on_right.made, p, weight);
    }
  }

  Chains chains_;
  WordFinder words_;
  Interrupt& interrupt_;
  PairTracker pairs_;
};

}  // namespace

TrainedTables train_words(WordCounts words, InitialSymbols symbols, int vocab_size,
                          Interrupt& interrupt) {
  TrainedTables tables;
  tables.vocab = std::move(symbols.vocab);
  // 1. Chains of the distinct words, built in the storage of the counted words.
  Chains chains = build_chains(std::move(words), symbols.symbol_ids, interrupt);
  // 2. Pair statistics and the heap.
  MergeLoop loop(std::move(chains), interrupt);
  // 3. Merge the best pair until the vocabulary is full or no pair is left.
  const auto target = static_cast<uint32_t>(vocab_size);
  auto vocab_count = static_cast<uint32_t>(tables.vocab.size());
  const EndBarLineWhenStopped end_line(interrupt,
                                       [&, first = vocab_count] { return vocab_count != first; });
  for (uint32_t rank = 0; vocab_count < target; ++rank) {
    interrupt.step();
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
