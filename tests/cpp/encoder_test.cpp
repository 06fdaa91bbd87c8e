// Long texts are merged word by word with a cache; the result (or the error) must be exactly that
// of merging the whole sequence at once, which the Python tests check against a plain rescan.
#include <gtest/gtest.h>

#include <iostream>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include "model/bpe.h"
#include "model/encoder.h"
#include "model/word_cache.h"

namespace {

constexpr uint16_t kMarkerUnit = 0x0120;

struct Outcome {
  std::optional<std::vector<uint16_t>> ids;
  std::string error;  // exception type and message when ids is empty
  bool operator==(const Outcome&) const = default;
};

template <class Merge>
Outcome run(std::vector<uint16_t> ids, Merge merge) {
  try {
    merge(ids);
    return {ids, ""};
  } catch (const std::exception& e) {
    return {std::nullopt, std::string(typeid(e).name()) + ": " + e.what()};
  }
}

// A model trained on random words over a few letters; spaces become the word-start marker.
BPE trained_model(std::mt19937& rng, int vocab_size) {
  std::vector<uint16_t> units;
  std::uniform_int_distribution<int> letter(0, 4), length(1, 7);
  for (int w = 0; w < 400; ++w) {
    if (w > 0) units.push_back(kMarkerUnit);
    for (int n = length(rng); n > 0; --n) units.push_back(static_cast<uint16_t>('a' + letter(rng)));
    units.push_back(0);
  }
  BPE model(vocab_size);
  std::streambuf* saved = std::cout.rdbuf(nullptr);  // the progress bars are not under test
  model.train(units);
  std::cout.rdbuf(saved);
  return model;
}

// A long id sequence of words, each starting with the marker's id, plus stray ids.
std::vector<uint16_t> long_text(std::mt19937& rng, const BPE& model) {
  const auto marker = static_cast<uint16_t>(model.token_to_id.at("\xC4\xA0"));
  const auto initial = static_cast<int>(model.vocab.size() - model.merge_rank.size());
  std::uniform_int_distribution<int> symbol(0, initial - 1), length(1, 9), stray(0, 99);
  std::vector<uint16_t> ids;
  while (ids.size() < 20000) {
    ids.push_back(marker);
    for (int n = length(rng); n > 0; --n) ids.push_back(static_cast<uint16_t>(symbol(rng)));
    if (stray(rng) == 0) ids.push_back(static_cast<uint16_t>(stray(rng) * 700));
  }
  return ids;
}

Outcome by_words(const std::vector<uint16_t>& ids, const BPE& model) {
  return run(ids, [&](std::vector<uint16_t>& v) {
    Interrupt never;
    Encoder(model).merge(v, never);
  });
}

Outcome whole(const std::vector<uint16_t>& ids, const BPE& model) {
  return run(ids, [&](std::vector<uint16_t>& v) {
    Interrupt never;
    Merger<>(model).merge(v, never);
  });
}

TEST(MergeByWords, TrainedModelsGiveTheWholeTextResult) {
  std::mt19937 rng(7);
  for (int round = 0; round < 20; ++round) {
    const BPE model = trained_model(rng, 8 + round * 5);
    const std::vector<uint16_t> ids = long_text(rng, model);
    const Outcome expected = whole(ids, model);
    ASSERT_TRUE(expected.ids.has_value()) << expected.error;
    EXPECT_EQ(by_words(ids, model), expected) << "round " << round;
  }
}

TEST(MergeByWords, BrokenTablesGiveTheWholeTextResultOrError) {
  std::mt19937 rng(11);
  for (int round = 0; round < 60; ++round) {
    BPE model = trained_model(rng, 20 + round);
    const std::vector<uint16_t> ids = long_text(rng, model);
    // Extra ranks between random ids, some crossing word starts, some without a joined text,
    // some naming ids beyond the vocabulary; also duplicate and never-merged ranks.
    std::uniform_int_distribution<int> id(0, static_cast<int>(model.vocab.size()) + 3);
    std::uniform_int_distribution<uint32_t> rank(0, 40);
    for (int extra = round % 4; extra > 0; --extra) {
      const uint32_t key = (static_cast<uint32_t>(id(rng)) << 16) | static_cast<uint32_t>(id(rng));
      model.merge_rank[key] = extra == 3 ? 0xFFFFFFFF : rank(rng);
    }
    if (round % 5 == 0) model.token_to_id.erase(model.vocab.back());
    const Outcome expected = whole(ids, model);
    EXPECT_EQ(by_words(ids, model), expected) << "round " << round;
    const Outcome looked_up = run(ids, [&](std::vector<uint16_t>& v) {
      Interrupt never;
      Merger<ModelRanks>(model).merge(v, never);
    });
    EXPECT_EQ(looked_up, expected) << "round " << round;
  }
}

// A short text is looked up in the model's own tables, a long one through a derived Encoder: the
// same ids or the same error either way. Texts: unknown characters, a literal marker, U+1F600
// (cut to U+F600), a surrogate once cut (U+1D800) before or after malformed UTF-8, a pair
// without its joined text.
TEST(EncodeOnce, ShortTextsAsTheEncoder) {
  BPE model(0);
  model.vocab = {"a", "b", "\xC4\xA0", "ab", "\t", "\xEF\x98\x80"};
  for (uint32_t id = 0; id < model.vocab.size(); ++id) model.token_to_id[model.vocab[id]] = id;
  model.merge_rank = {{1u, 0}, {(2u << 16) | 3u, 1}, {(3u << 16) | 4u, 2}};
  for (const std::string text : {"ab ab",
                                 "a?b \xC4\xA0"
                                 "ab",
                                 "\xF0\x9F\x98\x80"
                                 "ab",
                                 "ab \xF0\x9D\xA0\x80 ab", "ab\xC0\x80 \xF0\x9D\xA0\x80",
                                 "ab \xED\xA0\x80", "ab \xE2\x82", "ab\tab"}) {
    Interrupt never;
    EXPECT_EQ(run({}, [&](std::vector<uint16_t>& v) { v = model.encode(text); }),
              run({}, [&](std::vector<uint16_t>& v) { v = Encoder(model).encode(text, never); }))
        << text;
  }
}

TEST(MergeByWords, PairAcrossWordStartDisablesTheSplit) {
  // (b, U+0120) ranked: a word start can be absorbed, so words must not be merged apart.
  BPE model(0);
  model.vocab = {"a", "b", "\xC4\xA0", "b\xC4\xA0"};
  model.token_to_id = {{"a", 0}, {"b", 1}, {"\xC4\xA0", 2}, {"b\xC4\xA0", 3}};
  model.merge_rank = {{(1u << 16) | 2u, 0}};
  std::vector<uint16_t> ids;
  while (ids.size() < 20000) ids.insert(ids.end(), {2, 0, 1});
  const Outcome expected = whole(ids, model);
  ASSERT_TRUE(expected.ids.has_value());
  EXPECT_EQ(by_words(ids, model), expected);
}

}  // namespace

namespace {

TEST(MergeByWords, WordStartAbsorbedAfterItMergedDisablesTheSplit) {
  // U+0120 a merges first; only then can (b, U+0120 a) join the end of one word to the start of
  // the next. The marker alone is never absorbed, the merged word start is.
  BPE model(0);
  model.vocab = {"a", "b", "\xC4\xA0",
                 "\xC4\xA0"
                 "a",
                 "b\xC4\xA0"
                 "a"};
  for (uint32_t id = 0; id < model.vocab.size(); ++id) model.token_to_id[model.vocab[id]] = id;
  model.merge_rank = {{(2u << 16) | 0u, 0}, {(1u << 16) | 3u, 1}};
  std::vector<uint16_t> ids;
  while (ids.size() < 20000) ids.insert(ids.end(), {2, 0, 1});
  const Outcome expected = whole(ids, model);
  ASSERT_TRUE(expected.ids.has_value());
  EXPECT_EQ(by_words(ids, model), expected);
  EXPECT_NE(expected.ids->size(), ids.size() / 3 * 2);  // merges did cross word starts
}

}  // namespace

namespace {

TEST(MergeByWords, EncoderKeptAcrossTextsGivesEachTextsWholeResult) {
  // One encoder for many texts: words cached by earlier texts answer later ones, words that
  // failed to merge stay failed, the short-word table fills up and the cache starts again once
  // it is full (many more distinct words than either keeps), and a text comes back after many
  // others. Every text must still give the whole-text result.
  std::mt19937 rng(23);
  for (const bool broken : {false, true}) {
    BPE model = trained_model(rng, 60);
    if (broken) model.token_to_id.erase(model.vocab.back());  // its merge fails
    Encoder encoder(model);
    std::vector<uint16_t> first;
    for (int text = 0; text <= 40; ++text) {  // the last text is the first again
      const std::vector<uint16_t> ids = text < 40 ? long_text(rng, model) : first;
      if (text == 0) first = ids;
      const Outcome got = run(ids, [&](std::vector<uint16_t>& v) {
        Interrupt never;
        encoder.merge(v, never);
      });
      EXPECT_EQ(got, whole(ids, model)) << "text " << text << (broken ? " (broken)" : "");
    }
  }
}

}  // namespace

namespace {

TEST(MergeByWords, FreshEncoderOnATextLongEnoughForTheShortWordTable) {
  // Past 65,536 ids a fresh encoder answers short words from its table within the one call.
  std::mt19937 rng(31);
  const BPE model = trained_model(rng, 60);
  std::vector<uint16_t> ids;
  while (ids.size() <= 70000) {
    const std::vector<uint16_t> part = long_text(rng, model);
    ids.insert(ids.end(), part.begin(), part.end());
  }
  EXPECT_EQ(by_words(ids, model), whole(ids, model));
}

}  // namespace

namespace {

// The word cache's contract: a throw while a word is merged adds nothing, and trim empties the
// cache only past its bounds.
TEST(WordCache, AddsAllOrNothingAndTrimsOnlyPastItsBounds) {
  WordCache cache;
  const std::vector<uint16_t> word = {1, 2, 3};
  const uint32_t hash = WordTable::hash(word);
  auto merge_to_one = [](std::vector<uint16_t>& ids) {
    ids.resize(1);
    return true;
  };
  EXPECT_THROW(cache.find_or_add(
                   word, hash,
                   [](std::vector<uint16_t>&) -> bool { throw std::runtime_error("interrupted"); }),
               std::runtime_error);
  const auto [index, added] = cache.find_or_add(word, hash, merge_to_one);
  EXPECT_TRUE(added);  // the failed attempt left nothing behind
  EXPECT_EQ(index, 0u);
  EXPECT_EQ(std::vector<uint16_t>(cache.merged(0).begin(), cache.merged(0).end()),
            std::vector<uint16_t>{1});
  EXPECT_FALSE(cache.find_or_add(word, hash, merge_to_one).second);

  std::vector<uint16_t> other(WordCache::kMaxUnits, 7);
  cache.trim();  // within the bounds: kept
  EXPECT_FALSE(cache.find_or_add(word, hash, merge_to_one).second);
  cache.find_or_add(other, WordTable::hash(other), merge_to_one);
  cache.trim();  // past the bound on units: emptied
  EXPECT_TRUE(cache.find_or_add(word, hash, merge_to_one).second);
}

}  // namespace
