// Word counting, symbol chains and the pair statistics that training starts from.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/interrupt.h"
#include "common/pair_key.h"
#include "test_support.h"
#include "trainer/chains.h"
#include "trainer/pair_heap.h"
#include "trainer/pair_stats.h"
#include "trainer/word_counts.h"

namespace {

// Code unit -> id: 'a' -> 0, 'b' -> 1, ... for the lower-case letters.
std::vector<uint16_t> letter_ids() {
  std::vector<uint16_t> ids(65536, 0);
  for (char c = 'a'; c <= 'z'; ++c) ids[static_cast<uint16_t>(c)] = static_cast<uint16_t>(c - 'a');
  return ids;
}

constexpr uint16_t kA = 0, kB = 1, kC = 2;

struct Pair {
  int64_t count;
  std::vector<uint32_t> positions;
  bool operator==(const Pair&) const = default;
};

// Calls f(key, info) for every entry of the statistics, whatever map holds them.
template <class Map, class F>
void for_each_entry(const Map& stats, F f) {
  if constexpr (requires { stats.for_each(f); }) {
    stats.for_each(f);
  } else {
    for (const auto& [key, info] : stats) f(key, info);
  }
}

// The statistics in a form that does not depend on the map's order or on the layout.
std::map<uint32_t, Pair> pairs_of(const PairStats& stats, const PositionArray& positions) {
  std::map<uint32_t, Pair> out;
  for_each_entry(stats, [&](uint32_t key, const PairInfo& info) {
    const uint32_t* list = positions.begin() + info.begin;
    out[key] = {info.count, std::vector<uint32_t>(list, list + info.length)};
  });
  return out;
}

// The chains of the words of `units`, numbered by letter_ids.
ChainedWords chains_of(const Units& units) {
  Interrupt never;
  return build_chains(count_words(units), letter_ids(), never);
}

struct Built {
  ChainedWords chained;
  PairStats stats;
  PositionArray positions;
};

Built build(const Units& units) {
  Built b;
  b.chained = chains_of(units);
  Interrupt never;
  build_pairs(b.stats, b.chained.chains, b.chained.words, b.positions, never);
  return b;
}

// Nearest live node after and before `node` of word `w` (-1: none).
int64_t next_of(const ChainedWords& c, uint32_t w, uint32_t node) {
  return c.chains.next_before(c.words.word_heads[w + 1], node);
}
int64_t prev_of(const ChainedWords& c, uint32_t w, uint32_t node) {
  return c.chains.prev_after(c.words.word_heads[w], node);
}

// For each node: its id, then the nearest live node before and after it in its word (-1: none).
std::vector<std::vector<int64_t>> links_of(const ChainedWords& c) {
  std::vector<std::vector<int64_t>> out;
  for (uint32_t w = 0; w < c.words.size(); ++w) {
    for (uint32_t i = c.words.word_heads[w]; i < c.words.word_heads[w + 1]; ++i) {
      out.push_back({c.chains.ids[i], prev_of(c, w, i), next_of(c, w, i)});
    }
  }
  return out;
}

using Links = std::vector<std::vector<int64_t>>;

// ---------------------------------------------------------------------------------------------
// Word counts

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

// ---------------------------------------------------------------------------------------------
// Chains

TEST(Chains, OneWordIsOneChain) {
  const ChainedWords c = chains_of(units_of("abab"));
  EXPECT_EQ(c.chains.ids, (HugeVector<uint16_t>{kA, kB, kA, kB}));
  EXPECT_EQ(c.words.word_heads,
            (std::vector<uint32_t>{0, 4}));  // one past the last node at the end
  EXPECT_EQ(c.words.word_counts, (std::vector<uint64_t>{1}));
  EXPECT_EQ(links_of(c), (Links{{kA, -1, 1}, {kB, 0, 2}, {kA, 1, 3}, {kB, 2, -1}}));
}

TEST(Chains, OneChainPerDistinctWordWithItsCount) {
  const ChainedWords c = chains_of(units_of("|ab||c|ab|ba|"));
  EXPECT_EQ(c.chains.ids, (HugeVector<uint16_t>{kA, kB, kC, kB, kA}));
  EXPECT_EQ(c.words.word_heads, (std::vector<uint32_t>{0, 2, 3, 5}));
  EXPECT_EQ(c.words.word_counts, (std::vector<uint64_t>{2, 1, 1}));
  // Neighbours never cross into the next word.
  EXPECT_EQ(links_of(c), (Links{{kA, -1, 1}, {kB, 0, -1}, {kC, -1, -1}, {kB, -1, 4}, {kA, 3, -1}}));
}

TEST(Chains, NeighboursSkipDeadNodes) {
  ChainedWords c = chains_of(units_of("abcde|ab"));
  c.chains.absorb(1);  // b absorbed into a
  c.chains.absorb(3);  // d absorbed into c
  EXPECT_EQ(next_of(c, 0, 0), 2);
  EXPECT_EQ(prev_of(c, 0, 2), 0);
  EXPECT_EQ(next_of(c, 0, 2), 4);
  EXPECT_EQ(prev_of(c, 0, 4), 2);
  EXPECT_EQ(next_of(c, 0, 4), -1);
  EXPECT_EQ(prev_of(c, 0, 0), -1);
  EXPECT_EQ(next_of(c, 1, 5), 6);  // the next word is untouched
  c.chains.absorb(6);
  EXPECT_EQ(next_of(c, 1, 5), -1);
}

// Dead runs grow from both sides and join in every order; each lookup must give what a scan
// over the dead nodes gives, at the word ends too.
class DeadRunsTest : public testing::TestWithParam<unsigned> {};

TEST_P(DeadRunsTest, NeighboursMatchAScan) {
  ChainedWords c = chains_of(units_of("abcabcabcabcabcabcabcabcab|abcabcabcab|ca"));
  const std::vector<uint32_t>& heads = c.words.word_heads;
  std::vector<uint32_t> order;
  for (uint32_t w = 0; w < c.words.size(); ++w) {
    for (uint32_t i = heads[w] + 1; i < heads[w + 1]; ++i) order.push_back(i);
  }
  std::shuffle(order.begin(), order.end(), std::mt19937(GetParam()));
  for (const uint32_t node : order) {
    c.chains.absorb(node);
    for (uint32_t w = 0; w < c.words.size(); ++w) {
      for (uint32_t i = heads[w]; i < heads[w + 1]; ++i) {
        if (!c.chains.live(i)) continue;
        int64_t next = -1, prev = -1;
        for (uint32_t j = i + 1; next == -1 && j < heads[w + 1]; ++j) {
          if (c.chains.live(j)) next = j;
        }
        for (uint32_t j = i; prev == -1 && j > heads[w]; --j) {
          if (c.chains.live(j - 1)) prev = j - 1;
        }
        ASSERT_EQ(next_of(c, w, i), next) << "node " << i << " after absorbing " << node;
        ASSERT_EQ(prev_of(c, w, i), prev) << "node " << i << " after absorbing " << node;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Orders, DeadRunsTest, testing::Range(0u, 8u));

// Runs grown from both sides and then joined, around and far past the length a node's own field
// holds.
class LongDeadRunsTest : public testing::TestWithParam<uint32_t> {};

TEST_P(LongDeadRunsTest, Join) {
  const uint32_t run = GetParam();  // each side
  ChainedWords c = chains_of(Units(2 * run + 3, 'a'));
  for (uint32_t i = 1; i <= run; ++i) c.chains.absorb(i);
  for (uint32_t i = 2 * run + 1; i > run + 1; --i) c.chains.absorb(i);
  EXPECT_EQ(next_of(c, 0, 0), run + 1);
  EXPECT_EQ(prev_of(c, 0, run + 1), 0);
  EXPECT_EQ(next_of(c, 0, run + 1), 2 * run + 2);
  EXPECT_EQ(prev_of(c, 0, 2 * run + 2), run + 1);
  c.chains.absorb(run + 1);
  EXPECT_EQ(next_of(c, 0, 0), 2 * run + 2);
  EXPECT_EQ(prev_of(c, 0, 2 * run + 2), 0);
}

// Joined lengths 253, 255, 257, 601 and 200001.
INSTANTIATE_TEST_SUITE_P(Lengths, LongDeadRunsTest,
                         testing::Values(126u, 127u, 128u, 300u, 100000u));

TEST(Chains, NoWordsNoNodes) {
  const ChainedWords c = chains_of(units_of("|||"));
  EXPECT_TRUE(c.chains.ids.empty());
  EXPECT_EQ(c.words.size(), 0u);
  EXPECT_TRUE(c.words.word_counts.empty());
}

// ---------------------------------------------------------------------------------------------
// build_pairs

struct PairsCase {
  std::string name;
  std::string text;
  std::map<uint32_t, Pair> expected;
};

class BuildPairsTest : public testing::TestWithParam<PairsCase> {};

TEST_P(BuildPairsTest, CountsAndPositions) {
  const Built b = build(units_of(GetParam().text));
  EXPECT_EQ(pairs_of(b.stats, b.positions), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BuildPairsTest,
    testing::Values(
        PairsCase{"ABAB", "abab", {{pair_key(kA, kB), {2, {0, 2}}}, {pair_key(kB, kA), {1, {1}}}}},
        // Overlapping occurrences are all recorded.
        PairsCase{"AAA", "aaa", {{pair_key(kA, kA), {2, {0, 1}}}}},
        PairsCase{"OneSymbolWords", "a|b|c|a", {}}, PairsCase{"OnlyBoundaries", "||||", {}},
        PairsCase{"NothingAtAll", "", {}},
        // No pair spans a boundary, however many boundaries there are.
        PairsCase{
            "TwoWords", "ab|||ba", {{pair_key(kA, kB), {1, {0}}}, {pair_key(kB, kA), {1, {2}}}}},
        // A repeated word is one chain whose pairs count once per occurrence of the word.
        PairsCase{"Weights",
                  "ab|ba|ab|aba|ab|aba",
                  {{pair_key(kA, kB), {3 + 2, {0, 4}}}, {pair_key(kB, kA), {1 + 2, {2, 5}}}}},
        PairsCase{"RepeatedRun", "aaaa|aaaa|c", {{pair_key(kA, kA), {6, {0, 1, 2}}}}}),
    [](const testing::TestParamInfo<PairsCase>& info) { return info.param.name; });

TEST(BuildPairs, LayoutOfARandomCorpus) {
  std::mt19937 rng(5);
  Units units;
  for (int i = 0; i < 20000; ++i) {
    const int length = static_cast<int>(rng() % 7);
    for (int k = 0; k < length; ++k) units.push_back(static_cast<uint16_t>('a' + rng() % 4));
    units.push_back(0);
  }
  const Built b = build(units);
  const HugeVector<uint16_t>& ids = b.chained.chains.ids;
  const WordSpans& words = b.chained.words;

  // Brute force over the chains: weighted count and left nodes of every pair.
  std::map<uint32_t, Pair> expected;
  for (uint32_t w = 0; w < words.size(); ++w) {
    for (uint32_t i = words.word_heads[w]; i + 1 < words.word_heads[w + 1]; ++i) {
      Pair& p = expected[pair_key(ids[i], ids[i + 1])];
      p.count += static_cast<int64_t>(words.word_counts[w]);
      p.positions.push_back(i);
    }
  }
  EXPECT_EQ(pairs_of(b.stats, b.positions), expected);

  // The ranges tile pair_positions exactly, in the order the map visits the pairs.
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  for_each_entry(b.stats, [&](uint32_t, const PairInfo& info) {
    ranges.emplace_back(info.begin, info.begin + info.length);
  });
  uint64_t covered = 0;
  for (const auto& [begin, end] : ranges) {
    EXPECT_EQ(begin, covered);
    covered = end;
  }
  EXPECT_EQ(covered, b.positions.size());

  // Positions are ascending within each pair (the merge visits them left to right).
  for (const auto& [key, pair] : pairs_of(b.stats, b.positions)) {
    EXPECT_TRUE(std::is_sorted(pair.positions.begin(), pair.positions.end())) << key;
  }
}

// ---------------------------------------------------------------------------------------------
// PairHeap

// Counts drop between pops and pairs below the floor stay out until a rebuild: every pop must
// still give the pair of highest count, the smaller key on ties, as a scan of all pairs does.
class PairHeapTest : public testing::TestWithParam<int64_t> {};

TEST_P(PairHeapTest, PopsWhatAScanPicksWhateverTheFloor) {
  std::mt19937 rng(11);
  PairStats stats;
  for (uint32_t key = 0; key < 300; ++key) stats[key * 7919].count = 1 + rng() % 12;
  PairHeap heap;
  heap.rebuild(stats, GetParam());
  for (;;) {
    std::optional<uint32_t> expected;
    int64_t best = 0;
    stats.for_each([&](uint32_t key, const PairInfo& info) {
      if (info.count > best || (info.count == best && info.count > 0 && key < *expected)) {
        best = info.count;
        expected = key;
      }
    });
    const std::optional<uint32_t> popped = heap.pop_best(stats);
    ASSERT_EQ(popped, expected);
    if (!popped) break;
    stats.find(*popped)->count = 0;  // merged
    // Lower a few others, as a merge does, without telling the heap.
    for (int i = 0; i < 3; ++i) {
      PairInfo* info = stats.find(static_cast<uint32_t>(rng() % 300) * 7919);
      info->count = std::max<int64_t>(0, info->count - static_cast<int64_t>(rng() % 4));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Floors, PairHeapTest, testing::Values(1, 3, 8, 100));

}  // namespace
