#include "trainer/word_counts.h"

WordCounts count_words(const std::vector<uint16_t>& units) {
  WordCounts words;
  WordSplitter split(words);
  for (uint16_t unit : units) split(unit);
  split.finish();
  return words;
}
