#include "model/encoder.h"

#include <utf8.h>
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "common/pair_key.h"
#include "common/slot_hash.h"
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

// Kept between calls: a call that leaves more words or units than this in the word cache empties
// it, so that it stays a few MB. Within one call it grows as it must (a long text's distinct
// words).
constexpr size_t kMaxWords = size_t{1} << 15;
constexpr uint64_t kMaxUnits = uint64_t{1} << 18;

// The short-word table: a short word enters it the second time it is seen, and it is never
// emptied, so the frequent words of the first texts answer all later ones. Filled to at most
// three quarters of its slots: the probes for a word it lacks run over neighbouring slots.
constexpr size_t kShortWordSlots = size_t{1} << 15;
constexpr size_t kMaxShortWords = kShortWordSlots / 4 * 3;
// Short words already met, as one bit of a hash each, across calls: the words cache may be
// emptied between them. A shared bit only admits a word early, which changes no result.
constexpr size_t kSeenBits = size_t{1} << 20;
// Zeroing the table's 2 MB pays only where many words will be answered from it: a kept
// Encoder's second call, or one text of at least this many ids.
constexpr size_t kMinIdsForShortWords = size_t{1} << 16;

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
      merger_(model, FlatRanks(model.merge_rank)) {
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

std::vector<uint16_t> Encoder::initial_ids(std::string_view text, Interrupt& interrupt) const {
  constexpr size_t kBlock = 1 << 16;  // bytes decoded between two polls
  std::vector<uint16_t> ids(text.size());
  size_t out = 0;
  int32_t invalid = -1;  // first surrogate unit: it raises once the whole text has decoded
  auto it = text.begin();
  const auto end = text.end();
  while (it != end) {
    const auto block_end = end - it > static_cast<std::ptrdiff_t>(kBlock) ? it + kBlock : end;
    while (it < block_end) {
      if (block_end - it >= 8) {  // eight ASCII bytes at once: ASCII has no surrogate units
        const auto* bytes = reinterpret_cast<const unsigned char*>(&*it);
        uint64_t word;
        std::memcpy(&word, bytes, 8);
        if ((word & 0x8080808080808080ULL) == 0) {
          for (size_t i = 0; i < 8; ++i) {
            const int32_t id = unit_ids_[bytes[i]];
            ids[out] = static_cast<uint16_t>(id);  // a slot still free when the byte is dropped
            out += id >= 0;
          }
          it += 8;
          continue;
        }
      }
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

bool Encoder::seen_before(uint64_t hash) {
  const uint64_t bit = uint64_t{1} << (hash & 63);
  uint64_t& bits = seen_[(hash >> 6) & (seen_.size() - 1)];
  const bool seen = bits & bit;
  bits |= bit;
  return seen;
}

void Encoder::clear_words() {  // a long text's words are not kept
  words_in_step_ = false;      // until all four are empty: making them can run out of memory
  words_ = WordTable();
  merged_words_ = std::vector<uint16_t>();
  merged_starts_ = std::vector<uint32_t>(1, 0);
  apart_ = std::vector<bool>();
  words_in_step_ = true;
}

void Encoder::make_short_words() {
  std::vector<ShortWord> table(kShortWordSlots);
  std::vector<uint64_t> seen(kSeenBits / 64);
  short_words_ = std::move(table);
  seen_ = std::move(seen);
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

namespace {

// Key of the short word of `length` units at `units`, of which `available` can be read: the
// units zero padded to 15, then the length.
void short_key(const uint16_t* units, size_t length, size_t available, uint64_t key[4]) {
  if (available >= 16) {  // one fixed-size copy, the units past the word masked off
    std::memcpy(key, units, 32);
    const size_t bits = length * 16;
    for (size_t i = 0; i < 4; ++i) {
      const size_t low = i * 64;
      key[i] &= bits >= low + 64 ? ~uint64_t{0}
                : bits <= low    ? 0
                                 : (uint64_t{1} << (bits - low)) - 1;
    }
  } else {
    key[0] = key[1] = key[2] = key[3] = 0;
    std::memcpy(key, units, length * sizeof(uint16_t));
  }
  key[3] |= static_cast<uint64_t>(length) << 48;
}

uint64_t short_hash(const uint64_t key[4]) {
  return ((key[0] * 0x9E3779B97F4A7C15ULL) ^ (key[1] * 0xC2B2AE3D27D4EB4FULL)) +
         ((key[2] * 0x165667B19E3779F9ULL) ^ (key[3] * 0x27D4EB2F165667C5ULL));
}

}  // namespace

bool Encoder::merge_words(std::vector<uint16_t>& ids, Interrupt& interrupt) {
  // Words go in batches: first every table slot a batch needs is fetched, then its words are
  // answered in order, so that the fetches overlap instead of each waiting for memory.
  constexpr size_t kBatch = 16;
  struct Pending {
    size_t begin, end;
    uint64_t key[4];         // short words only
    uint64_t short_hash;     // of the key
    const ShortWord* found;  // its short-word entry, else nullptr
    ShortWord* free;         // else where a short word would go (nullptr: not short)
    uint32_t hash;           // else its hash in the word cache
  } batch[kBatch];
  const size_t n = ids.size();
  if (short_words_.empty() && (merged_calls_ > 0 || n >= kMinIdsForShortWords)) {
    make_short_words();
  }
  ++merged_calls_;
  const bool short_table = !short_words_.empty();
  // Merging never lengthens a word; the slack lets a short word's ids be copied at full width.
  std::vector<uint16_t> out(n + kShortWord);
  uint16_t* to = out.data();
  const uint16_t* const data = ids.data();
  const auto marker = static_cast<uint16_t>(marker_);
  const size_t slot_mask = short_words_.size() - 1;
  for (size_t next = 0; next < n;) {
    size_t count = 0;
    for (; count < kBatch && next < n; ++count) {
      Pending& word = batch[count];
      word.begin = next;
      word.end = next = std::find(data + next + 1, data + n, marker) - data;
      word.found = word.free = nullptr;
      const size_t length = word.end - word.begin;
      if (length <= kShortWord && short_table) {
        short_key(data + word.begin, length, n - word.begin, word.key);
        word.short_hash = short_hash(word.key);
        word.free = &short_words_[slot_of(static_cast<uint32_t>(word.short_hash >> 32),
                                          short_words_.size())];
        __builtin_prefetch(word.free);
      } else {
        word.hash = WordTable::hash({data + word.begin, length});
        words_.prefetch(word.hash);
      }
    }
    for (size_t i = 0; i < count; ++i) {
      Pending& word = batch[i];
      if (!word.free) continue;
      for (ShortWord* slot = word.free;;
           slot = &short_words_[(slot - short_words_.data() + 1) & slot_mask]) {
        if (std::equal(word.key, word.key + 4, slot->key)) {
          word.found = slot;
          break;
        }
        if (slot->key[3] == 0) {
          word.free = slot;
          word.hash = WordTable::hash({data + word.begin, word.end - word.begin});
          words_.prefetch(word.hash);
          break;
        }
      }
    }
    for (size_t i = 0; i < count; ++i) {
      const Pending& word = batch[i];
      interrupt.step(word.end - word.begin);
      if (word.found) {
        std::memcpy(to, word.found->merged, sizeof(word.found->merged));
        to += word.found->merged_length;
        continue;
      }
      std::pair<uint32_t, bool> cached;
      try {
        cached = cached_word(data + word.begin, data + word.end, word.hash, interrupt);
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
      // Kept at hand where its slot is still free (an earlier word of the batch may have taken
      // it): while the table is less than half full any word, then only words seen before.
      if (word.free && word.free->key[3] == 0 && short_count_ < kMaxShortWords &&
          (seen_before(word.short_hash) || short_count_ < kMaxShortWords / 2 || !added)) {
        std::copy(word.key, word.key + 4, word.free->key);
        std::copy(merged, merged + merged_length, word.free->merged);
        word.free->merged_length = static_cast<uint8_t>(merged_length);
        ++short_count_;
      }
    }
  }
  out.resize(static_cast<size_t>(to - out.data()));
  ids = std::move(out);
  return true;
}

void Encoder::merge(std::vector<uint16_t>& ids, Interrupt& interrupt) {
  if (!words_in_step_) clear_words();
  if (marker_ < 0 || !merge_words(ids, interrupt)) merger_.merge(ids, interrupt);
  if (words_.size() > kMaxWords || words_.total_units() > kMaxUnits) clear_words();
  merger_.release_scratch(kMinIdsForWords);  // what one long word needed is not kept either
}

std::vector<uint16_t> Encoder::encode(std::string_view text, Interrupt& interrupt) {
  return encode_steps(
      model_, [&] { return initial_ids(text, interrupt); },
      [&](std::vector<uint16_t>& ids) { merge(ids, interrupt); });
}

size_t Encoder::memory_bytes() const {
  return unit_ids_.capacity() * sizeof(int32_t) + absorbable_.capacity() / 8 +
         short_words_.capacity() * sizeof(ShortWord) + seen_.capacity() * 8 +
         merger_.memory_bytes() + words_.memory_bytes() +
         merged_words_.capacity() * sizeof(uint16_t) +
         merged_starts_.capacity() * sizeof(uint32_t) + apart_.capacity() / 8;
}

void apply_merges(std::vector<uint16_t>& ids, const BPE& model, Interrupt& interrupt) {
  if (ids.size() >= kMinIdsForWords) {
    Encoder(model).merge(ids, interrupt);
  } else {
    Merger(model, MapRanks{model.merge_rank}).merge(ids, interrupt);
  }
}
