// The work no exact trainer can skip, in one pass: what speed_of_light does, then every adjacent
// pair of the distinct words counted, weighted by the word's count, in a map keyed by the pair
// key, and one flushed progress bar drawn per merge the vocabulary asks for, as training does.
// Its last line of output: "<seconds> <distinct words> <their code units> <distinct pairs>".
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <vector>

#include "common/u32_map.h"
#include "common/word_table.h"
#include "corpus_words.h"
#include "report/progress.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: work_bound CORPUS VOCAB_SIZE\n";
    return 2;
  }
  char* vocab_end = nullptr;
  const long vocab_size = std::strtol(argv[2], &vocab_end, 10);
  if (*argv[2] == '\0' || *vocab_end != '\0' || vocab_size <= 0 || vocab_size > 65535) {
    std::cerr << "VOCAB_SIZE must be a number from 1 to 65535\n";
    return 2;
  }
  const auto t0 = std::chrono::steady_clock::now();
  const std::vector<char> bytes = read_corpus(argv[1]);
  // 1. Distinct words and their counts.
  WordTable table;
  std::vector<uint64_t> counts;
  for_each_word(bytes, [&](std::span<const uint16_t> word) {
    const auto [index, added] = table.intern(word, WordTable::hash(word));
    if (added) counts.push_back(0);
    ++counts[index];
  });
  // 2. The alphabet and every adjacent pair of the distinct words, weighted by the word's count.
  std::vector<bool> in_alphabet(1 << 16, false);
  long alphabet = 0;
  U32Map<uint64_t> pairs(table.size());
  for (size_t i = 0; i < table.size(); ++i) {
    const std::span<const uint16_t> units = table.word(i);
    for (size_t j = 0; j < units.size(); ++j) {
      if (!in_alphabet[units[j]]) {
        in_alphabet[units[j]] = true;
        ++alphabet;
      }
      if (j > 0) pairs[static_cast<uint32_t>(units[j - 1]) << 16 | units[j]] += counts[i];
    }
  }
  // 3. One bar per merge, each written and flushed as training does.
  for (long current = alphabet + 1; current <= vocab_size; ++current) {
    progress_bar(static_cast<int>(current), static_cast<int>(vocab_size), "BPE Trainer");
  }
  std::cout << '\n' << std::flush;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("%.6f %zu %llu %zu\n", seconds, table.size(),
              static_cast<unsigned long long>(table.total_units()), pairs.size());
  return 0;
}
