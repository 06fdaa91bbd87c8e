#include "trainer/alphabet.h"

#include <utf8.h>
#include <bitset>
#include <iostream>
#include <iterator>
#include <memory>

#include "common/messages.h"

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
