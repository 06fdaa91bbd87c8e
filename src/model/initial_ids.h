#pragma once

#include <utf8.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "common/code_units.h"
#include "common/interrupt.h"

// Text to initial ids, the first step of encoding, for both of its routes: the kept Encoder,
// which looks each unit up in a table of all 65,536, and BPE::encode on short texts, which looks
// units up in `token_to_id` as they come (see `TokenLookup`).
//
// Each code point of the UTF-8 text, cut to its low 16 bits, becomes the id `lookup(unit)`
// gives: an id, kDropped for a character the vocabulary lacks, or kSurrogate for a unit in
// 0xD800-0xDFFF, which has no UTF-8 text to look up. A lookup reads the space as the marker.
// Errors, in this order: malformed UTF-8 raises utfcpp's error as soon as it is met; a surrogate
// raises utfcpp's invalid_code_point once the whole text has decoded.

inline constexpr int32_t kDropped = -1;
inline constexpr int32_t kSurrogate = -2;

// The unit whose id encoding gives to `unit`: a space is read as the marker.
constexpr uint16_t as_read(uint16_t unit) {
  return unit == kSpace ? kSpaceMarker : unit;
}

template <class Lookup>
std::vector<uint16_t> initial_ids(std::string_view text, Lookup& lookup, Interrupt& interrupt) {
  constexpr std::ptrdiff_t kBlock = 1 << 16;  // bytes decoded between two polls
  std::vector<uint16_t> ids(text.size());
  size_t out = 0;
  int32_t surrogate = -1;  // the first one met
  const char* it = text.data();
  const char* const end = it + text.size();
  while (it != end) {
    const char* const block_end = end - it > kBlock ? it + kBlock : end;
    while (it < block_end) {
      if (block_end - it >= 8) {  // eight ASCII bytes at once: ASCII has no surrogates
        uint64_t word;
        std::memcpy(&word, it, 8);
        if ((word & 0x8080808080808080ULL) == 0) {
          for (size_t i = 0; i < 8; ++i) {
            const int32_t id = lookup(static_cast<uint16_t>(static_cast<unsigned char>(it[i])));
            ids[out] = static_cast<uint16_t>(id);  // a slot still free when the byte is dropped
            out += id >= 0;
          }
          it += 8;
          continue;
        }
      }
      const uint16_t unit = next_unit(it, end);
      const int32_t id = lookup(unit);
      if (id >= 0) {
        ids[out++] = static_cast<uint16_t>(id);
      } else if (id == kSurrogate && surrogate < 0) {
        surrogate = unit;
      }
    }
    interrupt.step(kBlock);
  }
  if (surrogate >= 0) {
    std::string scratch;
    utf8::append(static_cast<uint32_t>(surrogate), std::back_inserter(scratch));  // throws
  }
  ids.resize(out);
  return ids;
}
