// BPE::train on code-unit sequences: exact tables, console output, refusals and failures.

#include <gtest/gtest.h>
#include <utf8.h>

#include <climits>
#include <cstdint>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/pair_key.h"
#include "console_text.h"
#include "model/bpe.h"
#include "test_support.h"

namespace {

std::string bar(int current, int total) {
  const int cells = static_cast<int>(static_cast<float>(current) / static_cast<float>(total) * 50);
  const int percent =
      static_cast<int>(static_cast<float>(current) / static_cast<float>(total) * 100);
  std::string pct = std::to_string(percent);
  pct.insert(0, pct.size() < 3 ? 3 - pct.size() : 0, ' ');
  return "\rBPE Trainer | [" + std::string(cells, '=') + std::string(50 - cells, ' ') + "] " + pct +
         "% (" + std::to_string(current) + "/" + std::to_string(total) + ")";
}

// The three tables in ordered form, for comparisons and readable failures.
struct Tables {
  std::vector<std::string> vocab;
  std::map<uint32_t, uint32_t> merge_rank;
  std::map<std::string, uint32_t> token_to_id;
  bool operator==(const Tables&) const = default;
};

Tables tables_of(const BPE& model) {
  return {model.vocab,
          {model.merge_rank.begin(), model.merge_rank.end()},
          {model.token_to_id.begin(), model.token_to_id.end()}};
}

std::ostream& operator<<(std::ostream& os, const Tables& t) {
  os << "vocab:";
  for (const auto& v : t.vocab) os << " '" << v << "'";
  os << " merge_rank:";
  for (const auto& [k, r] : t.merge_rank)
    os << " " << (k >> 16) << "," << (k & 0xFFFF) << "->" << r;
  return os;
}

Tables index_texts(std::vector<std::string> vocab, std::map<uint32_t, uint32_t> merge_rank) {
  Tables t{std::move(vocab), std::move(merge_rank), {}};
  for (size_t i = 0; i < t.vocab.size(); ++i) t.token_to_id[t.vocab[i]] = static_cast<uint32_t>(i);
  return t;
}

struct Console {
  std::string out, err;
};

Console train(BPE& model, Units& units) {
  Capture out(std::cout), err(std::cerr);
  model.train(units);
  return {out.text(), err.text()};
}

// A model that already holds tables, to check that a refused run keeps them.
BPE trained_model(int vocab_size) {
  BPE model(vocab_size);
  model.vocab = {"p", "q", "pq"};
  model.merge_rank = {{pair_key(0, 1), 0}};
  model.token_to_id = {{"p", 0}, {"q", 1}, {"pq", 2}};
  return model;
}

// ---------------------------------------------------------------------------------------------
// Golden runs

TEST(Train, OneMergeOfABTwice) {
  BPE model(3);
  Units units = {'a', 'b', 0, 'a', 'b'};
  const Console run = train(model, units);
  EXPECT_EQ(tables_of(model), index_texts({"a", "b", "ab"}, {{pair_key(0, 1), 0}}));
  EXPECT_EQ(run.out, "\rBPE Trainer | [" + std::string(50, '=') + "] 100% (3/3)\n");
  EXPECT_EQ(run.err, "");
  // The sequence is consumed and its storage released.
  EXPECT_TRUE(units.empty());
  EXPECT_EQ(units.capacity(), 0u);
}

struct GoldenCase {
  std::string name;
  std::string text;
  int vocab_size;
  std::vector<std::string> vocab;
  std::map<uint32_t, uint32_t> merge_rank;
};

class TrainGoldenTest : public testing::TestWithParam<GoldenCase> {};

TEST_P(TrainGoldenTest, Tables) {
  const GoldenCase& c = GetParam();
  BPE model(c.vocab_size);
  Units units = units_of(c.text);
  const Console run = train(model, units);
  EXPECT_EQ(tables_of(model), index_texts(c.vocab, c.merge_rank));
  EXPECT_EQ(run.err, "");
  // One bar per merge, then the line end.
  std::string bars;
  for (size_t id = c.vocab.size() - c.merge_rank.size() + 1; id <= c.vocab.size(); ++id) {
    bars += bar(static_cast<int>(id), c.vocab_size);
  }
  EXPECT_EQ(run.out, bars + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TrainGoldenTest,
    testing::Values(
        // Leftmost first, non-overlapping: a a a becomes aa a, so (aa, a) occurs once.
        GoldenCase{
            "RunOfThree", "aaa", 3, {"a", "aa", "aaa"}, {{pair_key(0, 0), 0}, {pair_key(1, 0), 1}}},
        GoldenCase{"RunOfFour",
                   "aaaa",
                   3,
                   {"a", "aa", "aaaa"},
                   {{pair_key(0, 0), 0}, {pair_key(1, 1), 1}}},
        // a a a a a -> aa aa a; then (aa, a) and (aa, aa) occur once each: the smaller key wins.
        GoldenCase{"RunOfFive",
                   "aaaaa|a",
                   6,
                   {"a", "aa", "aaa", "aaaaa"},
                   {{pair_key(0, 0), 0}, {pair_key(1, 0), 1}, {pair_key(1, 2), 2}}},
        // Equal counts: the smaller pair key first, wherever the pair stands in the text.
        GoldenCase{
            "TieTakesSmallerKey", "cd|ab", 5, {"a", "b", "c", "d", "ab"}, {{pair_key(0, 1), 0}}},
        GoldenCase{"TieTakesSmallerKeyNotFirstSeen",
                   "ba|ac",
                   4,
                   {"a", "b", "c", "ac"},
                   {{pair_key(0, 2), 0}}},
        // After (a, b), the pair (b, c) drops from 6 to 5 but is still the most frequent.
        GoldenCase{"LoweredPairStaysSelectable",
                   "abc|bc|bc|bc|bc|bc|ab|ab|ab|ab|ab|ab|ab|de|de|de|de",
                   7,
                   {"a", "b", "c", "d", "e", "ab", "bc"},
                   {{pair_key(0, 1), 0}, {pair_key(1, 2), 1}}},
        // (a, b) x3 and (c, d) x2 in separate words; then (ab, cd) needs both merged first.
        GoldenCase{"MergedTokensMergeAgain",
                   "abcd|ab|ab|cd",
                   7,
                   {"a", "b", "c", "d", "ab", "cd", "abcd"},
                   {{pair_key(0, 1), 0}, {pair_key(2, 3), 1}, {pair_key(4, 5), 2}}},
        // A word occurring three times counts three times, also in the pairs a merge creates.
        GoldenCase{"RepeatedWordsCountByOccurrence",
                   "abc|abc|abc|bd|bd",
                   6,
                   {"a", "b", "c", "d", "ab", "abc"},
                   {{pair_key(0, 1), 0}, {pair_key(4, 2), 1}}},
        // Every pair used up: training stops below the target without a message.
        GoldenCase{"StopsWhenNoPairIsLeft", "ab|a", 10, {"a", "b", "ab"}, {{pair_key(0, 1), 0}}},
        // Initial ids follow the code units, not their order in the text.
        GoldenCase{"InitialIdsAscending", "zya", 3, {"a", "y", "z"}, {}}),
    [](const testing::TestParamInfo<GoldenCase>& info) { return info.param.name; });

TEST(Train, InitialIdsInCodeUnitOrderWithMultiByteTexts) {
  BPE model(5);
  Units units = {0x4E00, 'z', 0, 0xE9, 0x120, 0xF600};
  train(model, units);
  EXPECT_EQ(model.vocab, (std::vector<std::string>{"z", "\xC3\xA9", "\xC4\xA0", "\xE4\xB8\x80",
                                                   "\xEF\x98\x80"}));
  EXPECT_TRUE(model.merge_rank.empty());
}

TEST(Train, TargetEqualToTheAlphabetMakesNoMergeAndDrawsNoBar) {
  BPE model(2);
  Units units = units_of("abab");
  const Console run = train(model, units);
  EXPECT_EQ(tables_of(model), index_texts({"a", "b"}, {}));
  EXPECT_EQ(run.out, "\n");
}

TEST(Train, NoSymbolsLeavesEmptyTables) {
  BPE model = trained_model(5);
  Units units = {0, 0, 0};
  const Console run = train(model, units);
  EXPECT_EQ(tables_of(model), Tables{});
  EXPECT_EQ(run.out, "\n");
  EXPECT_EQ(run.err, "");
}

TEST(Train, LargestTargetIsAccepted) {
  BPE model(65535);
  Units units = units_of("abcabc|cab");
  const Console run = train(model, units);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(model.vocab.size(), 3u + model.merge_rank.size());
  EXPECT_GE(model.merge_rank.size(), 2u);
  EXPECT_NE(run.out.find("/65535)\n"), std::string::npos) << run.out;
}

TEST(Train, RetrainingReplacesAllTables) {
  BPE model(5);
  Units first = units_of("abc|abc");
  train(model, first);
  ASSERT_EQ(model.merge_rank.size(), 2u);  // (a, b) and (ab, c)

  model.vocab_size = 3;
  Units second = units_of("xy");
  train(model, second);
  EXPECT_EQ(tables_of(model), index_texts({"x", "y", "xy"}, {{pair_key(0, 1), 0}}));
  // No rank of the first run is left to reach a pair of the new ids.
  Capture err(std::cerr);
  EXPECT_EQ(model.encode("xyxxy"), (std::vector<uint16_t>{2, 0, 2}));
}

// ---------------------------------------------------------------------------------------------
// Refusals and failures leave the model and the sequence as they were

struct RefusalCase {
  std::string name;
  int vocab_size;
  std::string text;
  std::string message;
};

class TrainRefusalTest : public testing::TestWithParam<RefusalCase> {};

TEST_P(TrainRefusalTest, WritesMessageAndChangesNothing) {
  const RefusalCase& c = GetParam();
  BPE model = trained_model(c.vocab_size);
  const Tables before = tables_of(model);
  Units units = units_of(c.text);
  const Units units_before = units;
  const Console run = train(model, units);
  EXPECT_EQ(run.err, c.message);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(tables_of(model), before);
  EXPECT_EQ(model.vocab_size, c.vocab_size);
  EXPECT_EQ(units, units_before);
}

const std::string kTooLarge = expected::kVocabTooLarge;

INSTANTIATE_TEST_SUITE_P(
    Cases, TrainRefusalTest,
    testing::Values(RefusalCase{"BelowAlphabet", 10, "abcdef|ghijkl",
                                expected::vocab_too_small(10)},
                    RefusalCase{"OneBelowAlphabet", 2, "abc", expected::vocab_too_small(2)},
                    RefusalCase{"Zero", 0, "a", expected::vocab_too_small(0)},
                    RefusalCase{"AboveSixteenBits", 65536, "ab", kTooLarge},
                    RefusalCase{"Huge", INT_MAX, "ab", kTooLarge},
                    RefusalCase{"Negative", -1, "ab", kTooLarge},
                    RefusalCase{"MostNegative", INT_MIN, "ab", kTooLarge},
                    RefusalCase{"NegativeWithNoSymbols", -5, "||", kTooLarge}),
    [](const testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

TEST(Train, SurrogateRangeUnitRaisesAndChangesNothing) {
  BPE model = trained_model(10);
  const Tables before = tables_of(model);
  Units units = {'a', 0xD800, 0, 'b', 'a'};
  const Units units_before = units;
  Capture out(std::cout);
  EXPECT_THROW(train(model, units), utf8::invalid_code_point);
  EXPECT_EQ(tables_of(model), before);
  EXPECT_EQ(units, units_before);
  EXPECT_EQ(out.text(), "");
}

}  // namespace
