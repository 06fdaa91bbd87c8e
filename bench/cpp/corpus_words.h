#pragma once

// What the bound programs share: reading a file whole and cutting it into words as training does.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <span>
#include <vector>

#include "common/code_units.h"

// The bytes of the file at `path`; a file that cannot be opened ends the program with status 1.
inline std::vector<char> read_corpus(const char* path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::cerr << "cannot open " << path << '\n';
    std::exit(1);
  }
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Calls f(word) for every word of the UTF-8 text `bytes` as the corpus reader cuts it: code units
// of 16 bits, and a word ended by each tab, line feed, carriage return and space, the next word
// starting with the space marker. Throws utfcpp's error on malformed text.
template <class F>
void for_each_word(const std::vector<char>& bytes, F&& f) {
  std::vector<uint16_t> word;
  for (const char *it = bytes.data(), *end = it + bytes.size(); it < end;) {
    const uint16_t unit = next_unit(it, end);
    if (is_word_break(unit) && !word.empty()) {
      f(std::span<const uint16_t>(word));
      word.clear();
    }
    word.push_back(is_word_break(unit) ? kSpaceMarker : unit);
  }
  if (!word.empty()) f(std::span<const uint16_t>(word));
}
