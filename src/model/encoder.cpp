#include "model/encoder.h"

#include <utf8.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>

#include "common/code_units.h"
#include "common/pair_key.h"

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

// Zeroing the short-word table pays only where many words will be answered from it: a kept
// Encoder's second call, or one text of at least this many ids.
constexpr size_t kMinIdsForShortWords = size_t{1} << 16;

// The heap merger's scratch arrays are kept between calls up to this many nodes; what one long
// word needed beyond that is given back.
constexpr size_t kKeptScratchNodes = 4096;

// Text to initial ids, the first step of encoding. Each code point of the UTF-8 text, cut to
// its low 16 bits, becomes id_of(unit): an id, kDropped for a character the
// vocabulary lacks, or kSurrogate for a unit in 0xD800-0xDFFF, which has no UTF-8 text to look
// up. A space is read as the marker. Errors, in this order: malformed UTF-8 raises utfcpp's
// error as soon as it is met; a surrogate raises utfcpp's invalid_code_point once the whole text
// has decoded.
constexpr int32_t kDropped = -1;
constexpr int32_t kSurrogate = -2;

// The unit whose id encoding gives to `unit`: a space is read as the marker.
constexpr uint16_t as_read(uint16_t unit) {
  return unit == kSpace ? kSpaceMarker : unit;
}

template <class IdOf>
std::vector<uint16_t> initial_ids(std::string_view text, IdOf id_of, Interrupt& interrupt) {
  constexpr std::ptrdiff_t kBlock = 1 << 16;  // bytes decoded between two polls
  std::vector<uint16_t> ids(text.size());
  size_t out = 0;
  int32_t surrogate = -1;  // the first one met
  const char* it = text.data();
  const char* const end = it + text.size();
  while (it != end) {
    const char* const block_end = end - it > kBlock ? it + kBlock : end;
    while (it < block_end) {
      if (block_end - it >= 8) {  // eight ASCII bytes at once: ASCII has no surrogates
        uint64_t word;
        std::memcpy(&word, it, 8);
        if ((word & 0x8080808080808080ULL) == 0) {
          for (size_t i = 0; i < 8; ++i) {
            const int32_t id = id_of(static_cast<unsigned char>(it[i]));
            ids[out] = static_cast<uint16_t>(id);  // a slot still free when the byte is dropped
            out += id >= 0;
          }
          it += 8;
          continue;
        }
      }
      const uint16_t unit = next_unit(it, end);
      const int32_t id = id_of(unit);
      if (id >= 0) {
        ids[out++] = static_cast<uint16_t>(id);
      } else if (id == kSurrogate && surrogate < 0) {
        surrogate = unit;
      }
    }
    interrupt.step(kBlock);
  }
  if (surrogate >= 0) {
    std::string scratch;
    utf8::append(static_cast<uint32_t>(surrogate), std::back_inserter(scratch));  // throws
  }
  ids.resize(out);
  return ids;
}

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
    : model_(model), unit_ids_(65536, kDropped), absorbable_(65536, false), merger_(model) {
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
}

bool Encoder::merge_word(std::vector<uint16_t>& ids, Interrupt& interrupt) {
  first_ids_.clear();
  try {
    merger_.merge(ids, interrupt, ids.front() == marker_ ? &first_ids_ : nullptr);
  } catch (const std::out_of_range&) {
    ids.clear();  // the whole-text merge raises the error at the right merge
    return false;
  }  // anything else (an interrupt above all) passes, and the cache adds nothing
  for (const uint16_t id : first_ids_) {
    if (absorbable_[id]) return false;
  }
  return true;
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
    word.hit = nullptr;
    word.lookup.room = nullptr;
    const size_t length = word.end - word.begin;
    word.keyed = short_words_ && length <= ShortWords::kMaxLength;
    if (word.keyed) {
      ShortWords::make_key(data + word.begin, length, n - word.begin, word.key);
      short_words_->prefetch(word.key);
    } else {
      word.lookup.hash = WordTable::hash({data + word.begin, length});
      words_.prefetch(word.lookup.hash);
    }
  }
  return count;
}

void Encoder::probe_short_words(const std::vector<uint16_t>& ids, PendingWord* batch,
                                size_t count) {
  for (size_t i = 0; i < count; ++i) {
    PendingWord& word = batch[i];
    if (!word.keyed) continue;
    ShortWords::Slot& slot = short_words_->probe(word.key);
    if (!slot.free()) {
      word.hit = &slot;
      continue;
    }
    // Answered from the word cache instead: fetch its slot there.
    word.lookup = {WordTable::hash({ids.data() + word.begin, word.end - word.begin}), &slot};
    words_.prefetch(word.lookup.hash);
  }
}

bool Encoder::write_batch(const std::vector<uint16_t>& ids, const PendingWord* batch, size_t count,
                          uint16_t*& to, Interrupt& interrupt) {
  for (size_t i = 0; i < count; ++i) {
    const PendingWord& word = batch[i];
    interrupt.step(word.end - word.begin);
    if (word.hit) {  // the whole entry at once: `to` has room past the end
      std::memcpy(to, word.hit->merged, sizeof(word.hit->merged));
      to += word.hit->merged_length;
      continue;
    }
    const auto [index, added] = words_.find_or_add(
        {ids.data() + word.begin, word.end - word.begin}, word.lookup.hash,
        [&](std::vector<uint16_t>& units) { return merge_word(units, interrupt); });
    if (!words_.apart(index)) return false;
    const std::span<const uint16_t> merged = words_.merged(index);
    std::copy(merged.begin(), merged.end(), to);
    to += merged.size();
    // Kept at hand where its slot is still free: an earlier word of the batch may have taken it,
    // after this one was probed for.
    ShortWords::Slot* const room = word.lookup.room;
    if (room && room->free() && short_words_->has_room()) {
      const bool met_before = short_words_->meet(word.key) || !added;
      if (short_words_->admits(met_before)) {
        short_words_->add(*room, word.key, merged.data(), merged.size());
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
  if (marker_ < 0 || !merge_words(ids, interrupt)) merger_.merge(ids, interrupt);
  words_.trim();
  merger_.release_scratch(kKeptScratchNodes);
}

std::vector<uint16_t> Encoder::encode(std::string_view text, Interrupt& interrupt) {
  return encode_checked(
      model_,
      [&] {
        return initial_ids(
            text, [table = unit_ids_.data()](uint16_t unit) { return table[unit]; }, interrupt);
      },
      [&](std::vector<uint16_t>& ids) { merge(ids, interrupt); });
}

std::vector<uint16_t> Encoder::encode_once(const BPE& model, std::string_view text,
                                           Interrupt& interrupt) {
  // Deriving costs about 300,000 instructions and 40 per table entry (2.8 M for a 32,000-token
  // model); looking a text's units and pairs up in the model's own tables instead costs about
  // 560 more per byte of English (callgrind), so texts up to 1.7 KB (8,000 tokens) or 5 KB
  // (32,000) derive nothing.
  constexpr size_t kLookupCost = 560;
  const size_t derive_cost = 300'000 + 40 * (model.token_to_id.size() + model.merge_rank.size());
  if (text.size() * kLookupCost >= derive_cost) {
    return Encoder(model).encode(text, interrupt);
  }
  // Each unit looked up as its UTF-8 text in `token_to_id`, as the Encoder's table was made;
  // an ASCII unit, most of real text, only once per call.
  constexpr int32_t kNotLookedUp = kSurrogate - 1;
  std::array<int32_t, 128> ascii;
  ascii.fill(kNotLookedUp);
  auto look_up = [&model, scratch = std::string()](uint16_t unit) mutable -> int32_t {
    if (unit >= 0xD800 && unit < 0xE000) return kSurrogate;
    scratch.clear();
    utf8::append(as_read(unit), std::back_inserter(scratch));
    const auto found = model.token_to_id.find(scratch);
    return found == model.token_to_id.end() ? kDropped : static_cast<uint16_t>(found->second);
  };
  auto id_of = [&](uint16_t unit) -> int32_t {
    if (unit >= ascii.size()) return look_up(unit);
    if (ascii[unit] == kNotLookedUp) ascii[unit] = look_up(unit);
    return ascii[unit];
  };
  Merger<ModelRanks> merger(model);
  return encode_checked(
      model, [&] { return initial_ids(text, id_of, interrupt); },
      [&](std::vector<uint16_t>& ids) { merger.merge(ids, interrupt); });
}
