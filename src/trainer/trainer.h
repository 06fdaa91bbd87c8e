#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/interrupt.h"
#include "model/bpe.h"
#include "trainer/word_counts.h"

// The three tables one training run produces; they replace the model's together.
struct TrainedTables {
  std::vector<std::string> vocab;
  std::unordered_map<uint32_t, uint32_t> merge_rank;
  std::unordered_map<std::string, uint32_t> token_to_id;
};

// The initial symbols: ids 0 to n-1 in ascending code-unit order.
struct InitialSymbols {
  std::vector<std::string> vocab;    // UTF-8 text of each initial id
  std::vector<uint16_t> symbol_ids;  // code unit -> initial id (65536 entries)
};

// Collects the alphabet of `words` and checks `vocab_size` against it and against 65535. A
// refusal is written to standard error and gives nullopt. Throws utf8::invalid_code_point for a
// symbol in the surrogate range.
std::optional<InitialSymbols> initial_symbols(const WordCounts& words, int vocab_size);

// Runs the merge loop on the counted words: always the pair of highest count (the smaller pair
// key on ties), until the vocabulary holds `vocab_size` tokens or no pair occurs. Draws the
// "BPE Trainer" bar once per merge and ends its line. Consumes `words`. Polls `interrupt` as it
// works; whatever it throws passes out before anything is published.
TrainedTables train_words(WordCounts words, InitialSymbols symbols, int vocab_size,
                          Interrupt& interrupt);

// Installs the tables in the model; cannot fail, so a model is never left half trained.
void publish(BPE& model, TrainedTables&& tables) noexcept;
