#pragma once

#include <utf8.h>
#include <cstdint>

// The code units that give text its word structure, shared by the corpus reader, the trainer and
// the encoder.
inline constexpr uint16_t kBoundary = 0x0000;     // ends a word in a training sequence
inline constexpr uint16_t kSpace = 0x0020;        // the one character encoding maps to the marker
inline constexpr uint16_t kSpaceMarker = 0x0120;  // U+0120: begins every word after whitespace
inline constexpr char kSpaceMarkerText[] = "\xC4\xA0";  // the marker as UTF-8

// Tab, line feed, carriage return and space: each starts a new word when a corpus is read.
constexpr bool is_word_break(uint16_t unit) {
  return unit == 0x09 || unit == 0x0A || unit == 0x0D || unit == 0x20;
}

// Decodes one code point at `it` (advancing past it) and cuts it to its low 16 bits. Throws
// utfcpp's errors on malformed input, exactly as its checked decoder does.
template <class It>
uint16_t next_unit(It& it, It end) {
  const auto byte = static_cast<unsigned char>(*it);
  if (byte < 0x80) {  // the checked decoder gives the same for a one-byte sequence
    ++it;
    return byte;
  }
  return static_cast<uint16_t>(utf8::next(it, end));
}
