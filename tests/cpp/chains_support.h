#pragma once

#include <cstdint>
#include <vector>

#include "common/interrupt.h"
#include "test_support.h"
#include "trainer/chains.h"
#include "trainer/word_counts.h"

// Helpers of the suites that build chains.

// Code unit -> id: 'a' -> 0, 'b' -> 1, ... for the lower-case letters.
inline std::vector<uint16_t> letter_ids() {
  std::vector<uint16_t> ids(65536, 0);
  for (char c = 'a'; c <= 'z'; ++c) ids[static_cast<uint16_t>(c)] = static_cast<uint16_t>(c - 'a');
  return ids;
}

inline constexpr uint16_t kA = 0, kB = 1, kC = 2;

// The chains of the words of `units`, numbered by letter_ids.
inline ChainedWords chains_of(const Units& units) {
  Interrupt never;
  return build_chains(count_words(units), letter_ids(), never);
}
