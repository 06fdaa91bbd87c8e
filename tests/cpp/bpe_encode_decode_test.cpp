// Encoding and decoding with small hand-made models.

#include <gtest/gtest.h>
#include <utf8.h>

#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/pair_key.h"
#include "console_text.h"
#include "model/bpe.h"
#include "test_support.h"

namespace {

using Ids = std::vector<uint16_t>;

const std::string kMarker = "\xC4\xA0";  // U+0120, the space marker

// a, b, U+0120, ab, U+0120 ab; merges (a, b) then (U+0120, ab).
BPE example_model() {
  BPE model(5);
  model.vocab = {"a", "b", kMarker, "ab", kMarker + "ab"};
  for (size_t i = 0; i < model.vocab.size(); ++i) model.token_to_id[model.vocab[i]] = i;
  model.merge_rank = {{pair_key(0, 1), 0}, {pair_key(2, 3), 1}};
  return model;
}

// x, xx, xxxx; merges (x, x) then (xx, xx).
BPE run_model() {
  BPE model(3);
  model.vocab = {"x", "xx", "xxxx"};
  model.token_to_id = {{"x", 0}, {"xx", 1}, {"xxxx", 2}};
  model.merge_rank = {{pair_key(0, 0), 0}, {pair_key(1, 1), 1}};
  return model;
}

struct EncodeCase {
  std::string name;
  std::string text;
  Ids ids;
};

class EncodeExampleTest : public testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeExampleTest, Ids) {
  Capture err(std::cerr);
  EXPECT_EQ(example_model().encode(GetParam().text), GetParam().ids);
  EXPECT_EQ(err.text(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EncodeExampleTest,
    testing::Values(
        // a b space a b -> 0 1 2 0 1 -> 3 2 0 1 -> 3 2 3 -> 3 4
        EncodeCase{"WorkedExample", "ab ab", {3, 4}},
        EncodeCase{"MarkerCharacterEqualsSpace", "ab" + kMarker + "ab", {3, 4}},
        EncodeCase{"OneCharacter", "b", {1}},
        EncodeCase{"UnknownCharactersAreDropped",
                   "a\xE2\x82\xAC"
                   "b",
                   {3}},
        EncodeCase{"TabIsNotASpace", "ab\tab", {3, 3}},
        EncodeCase{"U10020IsASpace",
                   "ab\xF0\x90\x80\xA0"
                   "ab",
                   {3, 4}},
        EncodeCase{"LeadingSpace", " ab", {4}}, EncodeCase{"NoMergeBackwards", "ba", {1, 0}}),
    [](const testing::TestParamInfo<EncodeCase>& info) { return info.param.name; });

TEST(Encode, LeftmostOccurrenceOfARunMergesFirst) {
  const BPE model = run_model();
  EXPECT_EQ(model.encode("xxx"), (Ids{1, 0}));
  EXPECT_EQ(model.encode("xxxx"), (Ids{2}));
  EXPECT_EQ(model.encode("xxxxx"), (Ids{2, 0}));
  EXPECT_EQ(model.encode("xxxxxx"), (Ids{2, 1}));
}

TEST(Encode, LowestRankWinsOverPosition) {
  BPE model(4);
  model.vocab = {"a", "b", "c", "bc", "ab"};
  model.token_to_id = {{"a", 0}, {"b", 1}, {"c", 2}, {"bc", 3}, {"ab", 4}};
  model.merge_rank = {{pair_key(1, 2), 0}, {pair_key(0, 1), 1}};
  EXPECT_EQ(model.encode("abc"), (Ids{0, 3}));
  EXPECT_EQ(model.encode("abab"), (Ids{4, 4}));
}

TEST(Encode, RefusalsWriteTheirMessage) {
  BPE untrained(10);
  {
    Capture err(std::cerr);
    EXPECT_TRUE(untrained.encode("ab").empty());
    EXPECT_EQ(err.text(), expected::kEncodeUntrained);
  }
  const BPE model = example_model();
  for (const std::string text : {"", "\xE2\x82\xAC\xE2\x82\xAC"}) {
    Capture err(std::cerr);
    EXPECT_TRUE(model.encode(text).empty());
    EXPECT_EQ(err.text(), expected::kEncodeEmpty);
  }
}

TEST(Encode, MalformedTextRaises) {
  const BPE model = example_model();
  EXPECT_THROW(model.encode("a\xC0\x80"), utf8::invalid_utf8);
  EXPECT_THROW(model.encode("a\xED\xA0\x80"), utf8::invalid_code_point);
  EXPECT_THROW(model.encode("a\xE2\x82"), utf8::not_enough_room);
  // U+1D800 decodes, but its 16-bit unit has no UTF-8 form.
  EXPECT_THROW(model.encode("a\xF0\x9D\xA0\x80"), utf8::invalid_code_point);
}

TEST(Encode, RankWithoutItsJoinedTextRaises) {
  BPE model = example_model();
  model.token_to_id.erase("ab");
  EXPECT_THROW(model.encode("ab"), std::out_of_range);
}

TEST(Decode, TextsEachFollowedByOneSpace) {
  const BPE model = example_model();
  EXPECT_EQ(model.decode({3, 4}), "ab " + kMarker + "ab ");
  EXPECT_EQ(model.decode({0, 9, 1}),
            "a \xEF\xBF\xBD"
            "b ");
  EXPECT_EQ(model.decode({5, 65535}), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(model.decode({}), "");
}

TEST(Decode, UntrainedWritesItsMessage) {
  Capture err(std::cerr);
  EXPECT_EQ(BPE(3).decode({0}), "");
  EXPECT_EQ(err.text(), expected::kDecodeUntrained);
}

TEST(EncodeAfterTraining, LearnedMergesApply) {
  BPE model(7);
  // Words ab, Ġab, Ġab, Ġc: merges (a, b) x3, (Ġ, ab) x2, then (Ġ, c) x1.
  std::vector<uint16_t> units = {'a', 'b', 0, 0x120, 'a', 'b', 0, 0x120, 'a', 'b', 0, 0x120, 'c'};
  {
    Capture out(std::cout);
    model.train(units);
  }
  const auto id = [&](const std::string& text) { return model.token_to_id.at(text); };
  EXPECT_EQ(model.encode("ab ab c"),
            (Ids{static_cast<uint16_t>(id("ab")), static_cast<uint16_t>(id(kMarker + "ab")),
                 static_cast<uint16_t>(id(kMarker + "c"))}));
  EXPECT_EQ(model.decode(model.encode("ab ab")), "ab " + kMarker + "ab ");
}

}  // namespace
