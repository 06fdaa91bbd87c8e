#include <fstream>
#include <iostream>
#include <variant>

#include "common/code_units.h"
#include "common/system_memory.h"
#include "common/messages.h"
#include "corpus/utf8_reader.h"
#include "model/bpe.h"
#include "trainer/trainer.h"

// Reads the corpus straight into word counts: the pre-tokenized sequence is never held whole,
// so memory follows the corpus's distinct words rather than its size. The bars and the result
// are those of reading the whole sequence first and training on it.
void BPE::train_fromfile(const std::string& filepath, unsigned long buffer_size) {
  Interrupt never;
  train_fromfile(filepath, buffer_size, never);
}

void BPE::train_fromfile(const std::string& filepath, unsigned long /*buffer_size*/,
                         Interrupt& interrupt) {
  // Declared first, so that it runs after every buffer of the run is freed.
  const ReturnFreeMemoryOnExit give_back;
  const FileInfo info = getFileInfo(filepath);
  if (const auto* error = std::get_if<std::string>(&info)) {
    std::cerr << *error << "\n";
    return;
  }
  WordCounts words;
  {
    std::ifstream file(filepath, std::ios::binary);
    if (!file) {
      std::cerr << message::kFileUnreadable;
      return;
    }
    WordSplitter split(words);
    corpus::stream_utf8_units(file, corpus::stream_size(file), split, interrupt);
    split(kBoundary);  // the closing boundary unit
    split.finish();
  }
  std::optional<InitialSymbols> symbols = initial_symbols(words, vocab_size);
  if (!symbols) return;
  publish(*this, train_words(std::move(words), std::move(*symbols), vocab_size, interrupt));
}
