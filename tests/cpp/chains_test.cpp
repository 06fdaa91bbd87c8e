// Symbol chains: the nodes of the distinct words and the neighbours across dead runs.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "chains_support.h"
#include "test_support.h"
#include "trainer/chains.h"

namespace {

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

}  // namespace
