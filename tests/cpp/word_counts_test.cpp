// Word counting: the distinct words of a training sequence and how often each occurs.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"
#include "trainer/word_counts.h"

namespace {

TEST(WordCounts, DistinctWordsInOrderOfFirstAppearance) {
  const WordCounts words = count_words(units_of("||ab|c||ab|ba|a|aa|c|ab"));
  ASSERT_EQ(words.size(), 5u);
  const std::vector<std::string> expected_words = {"ab", "c", "ba", "a", "aa"};
  const std::vector<uint64_t> expected_counts = {3, 2, 1, 1, 1};
  for (size_t i = 0; i < words.size(); ++i) {
    const auto w = words.word(i);
    EXPECT_EQ(std::string(w.begin(), w.end()), expected_words[i]) << i;
    EXPECT_EQ(words.count(i), expected_counts[i]) << i;
  }
  EXPECT_EQ(words.total_units(), 8u);  // each distinct word stored once
}

TEST(WordCounts, OnlyBoundariesOrNothingGiveNoWords) {
  EXPECT_EQ(count_words(units_of("")).size(), 0u);
  EXPECT_EQ(count_words(units_of("||||")).size(), 0u);
}

TEST(WordCounts, ManyDistinctWordsAcrossTableGrowth) {
  // Enough words to grow the index several times; word i occurs i % 4 + 1 times, interleaved.
  std::mt19937 rng(3);
  std::set<Units> seen;
  std::vector<Units> distinct;
  for (int i = 0; i < 6000; ++i) {
    Units w(1 + rng() % 6);
    for (auto& u : w) u = static_cast<uint16_t>(1 + rng() % 3000);
    if (seen.insert(w).second) distinct.push_back(w);
  }
  std::map<Units, uint64_t> expected;
  Units units;
  for (int round = 0; round < 4; ++round) {
    for (size_t i = 0; i < distinct.size(); ++i) {
      if (static_cast<int>(i % 4) < round) continue;
      units.insert(units.end(), distinct[i].begin(), distinct[i].end());
      units.push_back(0);
      ++expected[distinct[i]];
    }
  }
  const WordCounts words = count_words(units);
  std::map<Units, uint64_t> actual;
  for (size_t i = 0; i < words.size(); ++i) {
    const auto w = words.word(i);
    EXPECT_TRUE(actual.emplace(Units(w.begin(), w.end()), words.count(i)).second)
        << "word " << i << " counted twice";
  }
  EXPECT_EQ(actual, expected);
}

}  // namespace
