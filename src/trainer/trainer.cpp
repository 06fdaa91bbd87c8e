#include "trainer/trainer.h"

#include <cassert>
#include <iostream>
#include <optional>
#include <utility>

#include "common/pair_key.h"
#include "report/progress.h"
#include "trainer/chains.h"
#include "trainer/merge_walk.h"

TrainedTables train_words(WordCounts words, InitialSymbols symbols, int vocab_size,
                          Interrupt& interrupt) {
  TrainedTables tables;
  tables.vocab = std::move(symbols.vocab);
  // 1. Chains of the distinct words, built in the storage of the counted words.
  ChainedWords built = build_chains(std::move(words), symbols.symbol_ids, interrupt);
  // 2. Pair statistics, the heap and the word index.
  MergeWalk walk(std::move(built), interrupt);
  // 3. Merge the best pair until the vocabulary is full or no pair is left.
  const auto target = static_cast<uint32_t>(vocab_size);
  auto vocab_count = static_cast<uint32_t>(tables.vocab.size());
  const EndBarLineWhenStopped end_line(interrupt,
                                       [&, first = vocab_count] { return vocab_count != first; });
  for (uint32_t rank = 0; vocab_count < target; ++rank) {
    interrupt.step();
    const std::optional<uint32_t> key = walk.best_pair();
    if (!key) break;
    tables.merge_rank[*key] = rank;
    tables.vocab.push_back(tables.vocab[pair_left(*key)] + tables.vocab[pair_right(*key)]);
    assert(vocab_count < kDeadId);  // the size checks keep every new id live
    walk.merge(*key, static_cast<uint16_t>(vocab_count));
    ++vocab_count;
    progress_bar(static_cast<int>(vocab_count), vocab_size, "BPE Trainer");
  }
  std::cout << '\n' << std::flush;
  // 4. The reverse table.
  index_token_texts(tables);
  return tables;
}
