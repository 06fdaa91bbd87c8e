#include "model/encoder.h"

#include <utf8.h>
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "common/pair_key.h"
#include "common/units.h"

// Words. A word starts at each id of the space marker; real text repeats its words, so each
// distinct word is merged once and then copied from the cache, across calls. Merging words apart
// gives the result of merging the whole text exactly when no pair across a word start ever
// merges. Such a pair's right side is the first node of a word, and while no such pair has
// merged, each word goes through the same states as when merged alone (the text's lowest-ranked
// pair, when it lies in a word, is that word's lowest-ranked pair). So it suffices that no ranked
// pair has as its right side any id that a word's first node takes while its word is merged
// alone: each cached word records whether that holds for it. A text holding a word for which it
// does not hold, or a word whose merge fails, is merged whole instead, so the result and any
// error are exactly those of merging the whole text.

namespace {

constexpr int32_t kUnknown = -1;  // no token: the character is dropped
constexpr int32_t kInvalid = -2;  // a surrogate unit: it has no UTF-8 text to look up

// Kept between calls: a call that leaves more words or units than this in the cache empties it,
// so that it stays a few MB. Within one call it grows as it must (a long text's distinct words).
constexpr size_t kMaxWords = size_t{1} << 15;
constexpr uint64_t kMaxUnits = uint64_t{1} << 18;

constexpr size_t kShortWordSlots = size_t{1} << 14;

constexpr size_t kMinIdsForWords = 4096;  // below this, deriving costs more than it saves

// The code unit whose UTF-8 text `key` is, or -1: a unit is looked up as exactly that text.
int32_t unit_of(const std::string& key) {
  if (key.empty() || key.size() > 3) return -1;
  auto it = key.begin();
  uint32_t cp;
  try {
    cp = utf8::next(it, key.end());
  } catch (const utf8::exception&) {
    return -1;
  }
  return it == key.end() && cp <= 0xFFFF ? static_cast<int32_t>(cp) : -1;
}

}  // namespace

Encoder::Encoder(const BPE& model)
    : model_(model),
      unit_ids_(65536, kUnknown),
      absorbable_(65536, false),
      merger_(model, FlatRanks(model.merge_rank), never_),
      short_words_(kShortWordSlots) {
  for (const auto& [text, id] : model.token_to_id) {
    if (const int32_t unit = unit_of(text); unit >= 0) unit_ids_[unit] = static_cast<uint16_t>(id);
  }
  std::fill(unit_ids_.begin() + 0xD800, unit_ids_.begin() + 0xE000, kInvalid);
  unit_ids_[kSpace] = unit_ids_[kSpaceMarker];  // encoding reads a space as the marker
  for (const auto& [key, rank] : model.merge_rank) {
    if (rank != kNoRank) absorbable_[pair_right(key)] = true;
  }
  const auto marker = model.token_to_id.find(kSpaceMarkerText);
  if (marker != model.token_to_id.end() && !absorbable_[static_cast<uint16_t>(marker->second)]) {
    marker_ = static_cast<uint16_t>(marker->second);
  }
  clear_words();
}

std::vector<uint16_t> Encoder::initial_ids(const std::string& text, Interrupt& interrupt) const {
  constexpr size_t kBlock = 1 << 16;  // bytes decoded between two polls
  std::vector<uint16_t> ids(text.size());
  size_t out = 0;
  int32_t invalid = -1;  // first surrogate unit: it raises once the whole text has decoded
  auto it = text.begin();
  const auto end = text.end();
  while (it != end) {
    const auto block_end = end - it > static_cast<std::ptrdiff_t>(kBlock) ? it + kBlock : end;
    while (it < block_end) {
      const uint16_t unit = next_unit(it, end);
      const int32_t id = unit_ids_[unit];
      if (id >= 0) {
        ids[out++] = static_cast<uint16_t>(id);
      } else if (id == kInvalid && invalid < 0) {
        invalid = unit;
      }
    }
    interrupt.step(kBlock);
  }
  if (invalid >= 0) {
    std::string scratch;
    utf8::append(static_cast<uint32_t>(invalid), std::back_inserter(scratch));  // throws
  }
  ids.resize(out);
  return ids;
}

void Encoder::clear_words() {  // releases the memory too: a long text's words are not kept
  words_ = WordTable();
  merged_words_ = std::vector<uint16_t>();
  merged_starts_ = std::vector<uint32_t>(1, 0);
  apart_ = std::vector<bool>();
}

uint32_t Encoder::cached_word(const uint16_t* begin, const uint16_t* end) {
  const auto [index, added] = words_.intern({begin, static_cast<size_t>(end - begin)});
  if (!added) return index;
  word_.assign(begin, end);
  first_ids_.clear();
  bool apart = true;
  try {
    merger_.merge(word_, *begin == marker_ ? &first_ids_ : nullptr);
    for (const uint16_t id : first_ids_) apart = apart && !absorbable_[id];
  } catch (const std::out_of_range&) {
    apart = false;  // the whole-text merge raises the error at the right merge
    word_.clear();
  }  // anything else (an interrupt above all) must pass, and the half-made entry with it
  merged_words_.insert(merged_words_.end(), word_.begin(), word_.end());
  merged_starts_.push_back(static_cast<uint32_t>(merged_words_.size()));
  apart_.push_back(apart);
  return index;
}

bool Encoder::merge_words(std::vector<uint16_t>& ids, Interrupt& interrupt) {
  std::vector<uint16_t> out;
  out.reserve(ids.size());
  const uint16_t* const data = ids.data();
  const auto marker = static_cast<uint16_t>(marker_);
  for (size_t begin = 0; begin < ids.size();) {
    const size_t end = std::find(ids.begin() + begin + 1, ids.end(), marker) - ids.begin();
    interrupt.step(end - begin);
    const size_t length = end - begin;
    ShortWord* slot = nullptr;
    uint64_t key[4] = {0, 0, 0, 0};
    if (length <= kShortWord) {
      std::memcpy(key, data + begin, length * sizeof(uint16_t));
      const uint64_t hash = ((key[0] * 0x9E3779B97F4A7C15ULL) ^ (key[1] * 0xC2B2AE3D27D4EB4FULL)) +
                            ((key[2] * 0x165667B19E3779F9ULL) ^ (key[3] * 0x27D4EB2F165667C5ULL));
      slot = &short_words_[(hash >> 40) & (kShortWordSlots - 1)];
      if (slot->length == length && std::equal(key, key + 4, slot->key)) {
        out.insert(out.end(), slot->merged, slot->merged + slot->merged_length);
        begin = end;
        continue;
      }
    }
    uint32_t index;
    try {
      index = cached_word(data + begin, data + end);
    } catch (...) {
      clear_words();  // an interrupted merge leaves a word without its merged ids
      throw;
    }
    if (!apart_[index]) return false;
    const auto merged = merged_words_.begin() + merged_starts_[index];
    const auto merged_end = merged_words_.begin() + merged_starts_[index + 1];
    if (slot) {  // merging never lengthens a word: its merged ids fit
      std::copy(key, key + 4, slot->key);
      slot->length = static_cast<uint8_t>(length);
      slot->merged_length = static_cast<uint8_t>(merged_end - merged);
      std::copy(merged, merged_end, slot->merged);
    }
    out.insert(out.end(), merged, merged_end);
    begin = end;
  }
  ids = std::move(out);
  return true;
}

void Encoder::merge(std::vector<uint16_t>& ids, Interrupt& interrupt) {
  merger_.poll(interrupt);
  if (marker_ < 0 || !merge_words(ids, interrupt)) merger_.merge(ids);
  if (words_.size() > kMaxWords || words_.total_units() > kMaxUnits) clear_words();
  merger_.release_scratch(kMinIdsForWords);  // what one long word needed is not kept either
}

std::vector<uint16_t> Encoder::encode(const std::string& text, Interrupt& interrupt) {
  return encode_steps(
      model_, [&] { return initial_ids(text, interrupt); },
      [&](std::vector<uint16_t>& ids) { merge(ids, interrupt); });
}

size_t Encoder::memory_bytes() const {
  return unit_ids_.capacity() * sizeof(int32_t) + absorbable_.capacity() / 8 +
         short_words_.capacity() * sizeof(ShortWord) + merger_.memory_bytes() +
         words_.memory_bytes() + merged_words_.capacity() * sizeof(uint16_t) +
         merged_starts_.capacity() * sizeof(uint32_t) + apart_.capacity() / 8;
}

void apply_merges(std::vector<uint16_t>& ids, const BPE& model, Interrupt& interrupt) {
  if (ids.size() >= kMinIdsForWords) {
    Encoder(model).merge(ids, interrupt);
  } else {
    Merger(model, MapRanks{model.merge_rank}, interrupt).merge(ids);
  }
}
