// build_pairs: the pair statistics and occurrence lists that training starts from.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "chains_support.h"
#include "common/interrupt.h"
#include "common/pair_key.h"
#include "test_support.h"
#include "trainer/pair_stats.h"

namespace {

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
    std::vector<uint32_t> nodes(info.length);
    nodes.resize(read_list({positions.begin() + list_start(info), info.length}, nodes.data()));
    out[key] = {info.count, nodes};
  });
  return out;
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
  std::vector<uint32_t> list_order;
  build_pairs(b.stats, b.chained.chains, b.chained.words, b.positions, list_order, 0, never);
  return b;
}

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

  // The lists tile pair_positions, each from the next list start, in the order the map visits
  // the pairs.
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  for_each_entry(b.stats, [&](uint32_t, const PairInfo& info) {
    ranges.emplace_back(list_start(info), list_start(info) + info.length);
  });
  uint64_t covered = 0;
  for (const auto& [begin, end] : ranges) {
    EXPECT_EQ(begin, list_aligned(covered));
    covered = end;
  }
  EXPECT_EQ(list_aligned(covered), b.positions.size());

  // Positions are ascending within each pair (the merge visits them left to right).
  for (const auto& [key, pair] : pairs_of(b.stats, b.positions)) {
    EXPECT_TRUE(std::is_sorted(pair.positions.begin(), pair.positions.end())) << key;
  }
}

// The gaps of a list around every byte-count boundary, up to the largest node, read back whole.
TEST(OccurrenceList, GapsAtByteBoundariesReadBack) {
  std::vector<uint32_t> nodes;
  uint32_t node = 0;
  for (const uint32_t gap : {0u, 1u, 127u, 128u, 16383u, 16384u, (1u << 21) - 1, 1u << 21,
                             (1u << 28) - 1, 1u << 28, 1u << 30}) {
    node += gap;
    nodes.push_back(node);
  }
  nodes.push_back(0xFFFFFFFF);
  std::vector<uint8_t> bytes(5 * nodes.size());
  uint8_t* end = bytes.data();
  uint32_t last = 0;
  for (const uint32_t n : nodes) {
    uint8_t* const at = end;
    end = put_gap(end, n - last);
    EXPECT_EQ(static_cast<uint32_t>(end - at), gap_bytes(n - last)) << n - last;
    last = n;
  }
  std::vector<uint32_t> read(bytes.size());
  read.resize(read_list({bytes.data(), static_cast<size_t>(end - bytes.data())}, read.data()));
  EXPECT_EQ(read, nodes);
}

}  // namespace
