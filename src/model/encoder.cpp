#include "model/encoder.h"

#include <utf8.h>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <stdexcept>

#include "common/code_units.h"
#include "common/pair_key.h"
#include "model/initial_ids.h"

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

// Kept between calls: a call that leaves more words or units than this in the word cache empties
// it, so that it stays a few MB. Within one call it grows as it must (a long text's distinct
// words).
constexpr size_t kMaxCachedWords = size_t{1} << 15;
constexpr uint64_t kMaxCachedUnits = uint64_t{1} << 18;

// Zeroing the short-word table pays only where many words will be answered from it: a kept
// Encoder's second call, or one text of at least this many ids.
constexpr size_t kMinIdsForShortWords = size_t{1} << 16;

// The heap merger's scratch arrays are kept between calls up to this many nodes; what one long
// word needed beyond that is given back.
constexpr size_t kKeptScratchNodes = 4096;

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
      unit_ids_(65536, kDropped),
      absorbable_(65536, false),
      merger_(model, FlatRanks(model.merge_rank)) {
  for (const auto& [text, id] : model.token_to_id) {
    if (const int32_t unit = unit_of(text); unit >= 0) unit_ids_[unit] = static_cast<uint16_t>(id);
  }
  std::fill(unit_ids_.begin() + 0xD800, unit_ids_.begin() + 0xE000, kSurrogate);
  unit_ids_[kSpace] = unit_ids_[as_read(kSpace)];
  for (const auto& [key, rank] : model.merge_rank) {
    if (rank != kNoRank) absorbable_[pair_right(key)] = true;
  }
  const auto marker = model.token_to_id.find(kSpaceMarkerText);
  if (marker != model.token_to_id.end() && !absorbable_[static_cast<uint16_t>(marker->second)]) {
    marker_ = static_cast<uint16_t>(marker->second);
  }
  clear_words();
}

void Encoder::clear_words() {  // a long text's words are not kept
  words_in_step_ = false;      // until all four are empty: making them can run out of memory
  words_ = WordTable();
  merged_words_ = std::vector<uint16_t>();
  merged_starts_ = std::vector<uint32_t>(1, 0);
  apart_ = std::vector<bool>();
  words_in_step_ = true;
}

std::pair<uint32_t, bool> Encoder::cached_word(const uint16_t* begin, const uint16_t* end,
                                               uint32_t hash, Interrupt& interrupt) {
  const auto [index, added] = words_.intern({begin, static_cast<size_t>(end - begin)}, hash);
  if (!added) return {index, false};
  word_.assign(begin, end);
  first_ids_.clear();
  bool apart = true;
  try {
    merger_.merge(word_, interrupt, *begin == marker_ ? &first_ids_ : nullptr);
    for (const uint16_t id : first_ids_) apart = apart && !absorbable_[id];
  } catch (const std::out_of_range&) {
    apart = false;  // the whole-text merge raises the error at the right merge
    word_.clear();
  }  // anything else (an interrupt above all) must pass, and the half-made entry with it
  merged_words_.insert(merged_words_.end(), word_.begin(), word_.end());
  merged_starts_.push_back(static_cast<uint32_t>(merged_words_.size()));
  apart_.push_back(apart);
  return {index, true};
}

// Words go in batches: first every table slot a batch needs is fetched, then its words are
// answered in order, so that the fetches overlap instead of each waiting for memory.
size_t Encoder::collect_batch(const std::vector<uint16_t>& ids, size_t next, PendingWord* batch) {
  const uint16_t* const data = ids.data();
  const size_t n = ids.size();
  const auto marker = static_cast<uint16_t>(marker_);
  size_t count = 0;
  for (; count < kBatch && next < n; ++count) {
    PendingWord& word = batch[count];
    word.begin = next;
    word.end = next = std::find(data + next + 1, data + n, marker) - data;
    const size_t length = word.end - word.begin;
    word.is_short = short_words_ && length <= ShortWords::kMaxLength;
    if (word.is_short) {
      ShortWords::make_key(data + word.begin, length, n - word.begin, word.key);
      short_words_->prefetch(word.key);
    } else {
      word.hash = WordTable::hash({data + word.begin, length});
      words_.prefetch(word.hash);
    }
  }
  return count;
}

void Encoder::probe_short_words(const std::vector<uint16_t>& ids, PendingWord* batch,
                                size_t count) {
  for (size_t i = 0; i < count; ++i) {
    PendingWord& word = batch[i];
    if (!word.is_short) continue;
    word.slot = &short_words_->probe(word.key);
    word.found = !word.slot->free();
    if (!word.found) {  // answered from the word cache instead: fetch its slot there
      word.hash = WordTable::hash({ids.data() + word.begin, word.end - word.begin});
      words_.prefetch(word.hash);
    }
  }
}

bool Encoder::write_batch(const std::vector<uint16_t>& ids, const PendingWord* batch, size_t count,
                          uint16_t*& to, Interrupt& interrupt) {
  for (size_t i = 0; i < count; ++i) {
    const PendingWord& word = batch[i];
    interrupt.step(word.end - word.begin);
    if (word.is_short && word.found) {  // the whole entry at once: `to` has room past the end
      std::memcpy(to, word.slot->merged, sizeof(word.slot->merged));
      to += word.slot->merged_length;
      continue;
    }
    std::pair<uint32_t, bool> cached;
    try {
      cached = cached_word(ids.data() + word.begin, ids.data() + word.end, word.hash, interrupt);
    } catch (...) {
      words_in_step_ = false;  // an interrupted merge leaves a word without its merged ids
      throw;
    }
    const auto [index, added] = cached;
    if (!apart_[index]) return false;
    const uint16_t* const merged = merged_words_.data() + merged_starts_[index];
    const size_t merged_length = merged_starts_[index + 1] - merged_starts_[index];
    std::copy(merged, merged + merged_length, to);
    to += merged_length;
    // Kept at hand where its slot is still free: an earlier word of the batch may have taken it,
    // after this one was probed for.
    if (word.is_short && word.slot->free() && short_words_->has_room()) {
      const bool met_before = short_words_->meet(word.key) || !added;
      if (short_words_->admits(met_before)) {
        short_words_->add(*word.slot, word.key, merged, merged_length);
      }
    }
  }
  return true;
}

bool Encoder::merge_words(std::vector<uint16_t>& ids, Interrupt& interrupt) {
  const size_t n = ids.size();
  if (!short_words_ && (merged_calls_ > 0 || n >= kMinIdsForShortWords)) {
    short_words_ = std::make_unique<ShortWords>();
  }
  ++merged_calls_;
  // Merging never lengthens a word; the slack lets a short word's ids be copied at full width.
  std::vector<uint16_t> out(n + ShortWords::kMaxLength);
  uint16_t* to = out.data();
  PendingWord batch[kBatch];
  for (size_t next = 0; next < n;) {
    const size_t count = collect_batch(ids, next, batch);
    next = batch[count - 1].end;
    probe_short_words(ids, batch, count);
    if (!write_batch(ids, batch, count, to, interrupt)) return false;
  }
  assert(static_cast<size_t>(to - out.data()) <= n);  // merging never lengthens a word
  out.resize(static_cast<size_t>(to - out.data()));
  ids = std::move(out);
  return true;
}

void Encoder::merge(std::vector<uint16_t>& ids, Interrupt& interrupt) {
  if (!words_in_step_) clear_words();
  if (marker_ < 0 || !merge_words(ids, interrupt)) merger_.merge(ids, interrupt);
  if (words_.size() > kMaxCachedWords || words_.total_units() > kMaxCachedUnits) clear_words();
  merger_.release_scratch(kKeptScratchNodes);
}

std::vector<uint16_t> Encoder::encode(std::string_view text, Interrupt& interrupt) {
  auto lookup = [this](uint16_t unit) { return unit_ids_[unit]; };
  return encode_steps(
      model_, [&] { return initial_ids(text, lookup, interrupt); },
      [&](std::vector<uint16_t>& ids) { merge(ids, interrupt); });
}
