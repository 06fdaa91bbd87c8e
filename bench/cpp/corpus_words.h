#pragma once

// What the two bound programs share: reading a corpus whole and cutting it into words the way
// training does.
#include <utf8.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <span>
#include <vector>

// The bytes of the file at `path`; a file that cannot be opened ends the program with status 1.
inline std::vector<char> read_corpus(const char* path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::cerr << "cannot open " << path << '\n';
    std::exit(1);
  }
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Calls f(word) for every word of the UTF-8 text `bytes`, as a span of 16-bit units: tab, line
// feed, carriage return and space end a word and start the next with the space marker, and code
// points are cut to 16 bits. Throws utfcpp's error on malformed text.
template <class F>
void for_each_word(const std::vector<char>& bytes, F&& f) {
  constexpr uint16_t kSpaceMarker = 0x0120;
  std::vector<uint16_t> word;
  auto finish = [&] {
    if (word.empty()) return;
    f(std::span<const uint16_t>(word));
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
    if (cp == 0x09 || cp == 0x0A || cp == 0x0D || cp == 0x20) {
      finish();
      word.push_back(kSpaceMarker);
    } else {
      word.push_back(static_cast<uint16_t>(cp));
    }
  }
  finish();
}
