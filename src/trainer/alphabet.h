#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "trainer/word_counts.h"

// The initial symbols: ids 0 to n-1 in ascending code-unit order.
struct InitialSymbols {
  std::vector<std::string> vocab;    // UTF-8 text of each initial id
  std::vector<uint16_t> symbol_ids;  // code unit -> initial id (65536 entries)
};

// Collects the alphabet of `words` and checks `vocab_size` against it and against 65535. A
// refusal is written to standard error and gives nullopt. Throws utf8::invalid_code_point for a
// symbol in the surrogate range.
std::optional<InitialSymbols> initial_symbols(const WordCounts& words, int vocab_size);
