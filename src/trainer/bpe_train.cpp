#include "common/system_memory.h"
#include "model/bpe.h"
#include "trainer/trainer.h"

void BPE::train(std::vector<uint16_t>& units) {
  // Declared first, so that it runs after every buffer of the run is freed.
  const ReturnFreeMemoryOnExit give_back;
  WordCounts words = count_words(units);
  std::optional<InitialSymbols> symbols = initial_symbols(words, vocab_size);
  if (!symbols) return;
  // Accepted: the caller's sequence is released before the merge loop needs the memory.
  units.clear();
  units.shrink_to_fit();
  Interrupt never;
  publish(*this, train_words(std::move(words), std::move(*symbols), vocab_size, never));
}
