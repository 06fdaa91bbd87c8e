// The least any trainer must do with a corpus: read the file, decode it, cut it into words as
// training does and count the distinct ones in the project's word table. Prints
// "<seconds> <distinct words> <words>".
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <vector>

#include "common/word_table.h"
#include "corpus_words.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: speed_of_light CORPUS\n";
    return 2;
  }
  const auto t0 = std::chrono::steady_clock::now();
  const std::vector<char> bytes = read_corpus(argv[1]);
  WordTable table;
  uint64_t words = 0;
  for_each_word(bytes, [&](std::span<const uint16_t> word) {
    table.intern(word, WordTable::hash(word));
    ++words;
  });
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("%.6f %zu %llu\n", seconds, table.size(), static_cast<unsigned long long>(words));
  return 0;
}
