// The least any trainer must do with a corpus: read the file, decode it as UTF-8, cut it into
// words the way training does (tab, line feed, carriage return and space start a new word that
// begins with the space marker) and count the distinct words in the project's word table.
// Prints "<seconds> <distinct words> <words>" on standard output; the benchmark divides
// training times by the seconds.
#include <utf8.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

#include "common/word_table.h"

namespace {

constexpr uint16_t kSpaceMarker = 0x0120;

bool is_word_break(uint32_t cp) {
  return cp == 0x09 || cp == 0x0A || cp == 0x0D || cp == 0x20;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: speed_of_light CORPUS\n";
    return 2;
  }
  const auto t0 = std::chrono::steady_clock::now();
  std::ifstream file(argv[1], std::ios::binary);
  if (!file) {
    std::cerr << "cannot open " << argv[1] << '\n';
    return 1;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
  WordTable table;
  std::vector<uint16_t> word;
  uint64_t words = 0;
  auto finish = [&] {
    if (word.empty()) return;
    table.intern(word, WordTable::hash(word));
    ++words;
    word.clear();
  };
  const char* it = bytes.data();
  const char* const end = it + bytes.size();
  while (it < end) {
    const auto byte = static_cast<unsigned char>(*it);
    uint32_t cp = byte;
    if (byte < 0x80) {
      ++it;
    } else {
      cp = utf8::next(it, end);
    }
    if (is_word_break(cp)) {
      finish();
      word.push_back(kSpaceMarker);
    } else {
      word.push_back(static_cast<uint16_t>(cp));  // code points cut to 16 bits, as in training
    }
  }
  finish();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("%.6f %zu %llu\n", seconds, table.size(), static_cast<unsigned long long>(words));
  return 0;
}
