#pragma once

#include <cstdint>
#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/interrupt.h"
#include "common/messages.h"
#include "common/word_table.h"
#include "model/bpe.h"
#include "model/merger.h"

// Design note. Everything encoding derives from the tables (the initial id of each code unit,
// the flat ranks with the ids their pairs join to, whether words may be merged apart, the merged
// words themselves) is kept in an Encoder made from one state of a model's tables. An Encoder
// never checks whether the tables changed: C++ code may change any table in place, so only a
// fingerprint of their whole contents could tell, and computing it costs as much as deriving.
// Instead an Encoder is kept only by an owner that sees every change: the Python object, whose
// tables change only through its setters and training, each of which counts a new generation of
// the tables, and which derives a new Encoder when its own is of an older one (the getters hand
// out copies). `BPE` itself keeps nothing derived, so copying or moving it, or assigning its
// members, can leave nothing stale; `BPE::encode` makes a fresh Encoder for a long text and
// keeps none, so concurrent const calls share no state. An Encoder is used by one call at a time
// (the binding refuses a nested call), and keeps no pointer to anything of a call's once it
// returns: each call hands down its own Interrupt. Kept data: about 1 MB for a
// 32,000-token model (character ids, flat ranks, joined ids); a table of at most 24,576 frequent
// short words (2 MB, made on a second call or for a long text, filled once and kept) with 128 KB
// of bits marking the short words met; and a word cache of at most 32,768 words that a call
// leaving it fuller empties.
class Encoder {
 public:
  // Derives the data from `model`'s current tables; `model` must outlive the Encoder and keep
  // its tables unchanged while the Encoder is used.
  explicit Encoder(const BPE& model);
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  // Exactly `model.encode(text, interrupt)` on the tables the Encoder was made from. An
  // exception, an interrupt or running out of memory included, leaves an Encoder whose next
  // call works.
  std::vector<uint16_t> encode(std::string_view text, Interrupt& interrupt);

  // Merges `ids` in place with the result, or the error, of the plain rescan.
  void merge(std::vector<uint16_t>& ids, Interrupt& interrupt);

  // Bytes held by the derived data.
  size_t memory_bytes() const;

 private:
  // Initial ids of a UTF-8 text (unknown characters dropped); throws utfcpp's errors.
  std::vector<uint16_t> initial_ids(std::string_view text, Interrupt& interrupt) const;
  // Merges word by word from the caches; false (ids untouched) where the words of this text
  // cannot be merged apart, or one of them fails to merge.
  bool merge_words(std::vector<uint16_t>& ids, Interrupt& interrupt);
  // Index of the cached word `[begin, end)` of WordTable hash `hash`, merged and added when new,
  // and whether this call added it.
  std::pair<uint32_t, bool> cached_word(const uint16_t* begin, const uint16_t* end, uint32_t hash,
                                        Interrupt& interrupt);
  // Empties the word cache and releases its memory.
  void clear_words();
  // Makes the short-word table and its bits, both or neither.
  void make_short_words();
  // Whether a short word of hash `hash` may have been met before; records it as met.
  bool seen_before(uint64_t hash);

  // A short word and its merged ids inline: one probe answers a frequent word without touching
  // the word cache. Only words that merge apart are kept here.
  static constexpr size_t kShortWord = 15;
  struct alignas(64) ShortWord {
    uint64_t key[4] = {0, 0, 0, 0};  // the units zero padded, the length as the 16th; 0: free
    uint16_t merged[kShortWord] = {};
    uint8_t merged_length = 0;
  };

  const BPE& model_;
  std::vector<int32_t> unit_ids_;  // code unit -> initial id, kUnknown or kInvalid
  std::vector<bool> absorbable_;   // ids that are the right side of a ranked pair
  int32_t marker_ = -1;            // id of the space marker, -1 where words are merged whole
  Merger<FlatRanks> merger_;
  std::vector<ShortWord> short_words_;  // open addressing by a hash of the key
  size_t short_count_ = 0;              // words in short_words_: it only ever fills
  size_t merged_calls_ = 0;             // calls of merge_words so far
  std::vector<uint64_t> seen_;          // bits of the short words met, made with the table
  // Words of recent texts, as initial ids. A failure while a word is added leaves the four
  // members below out of step; they are emptied before the next merge.
  bool words_in_step_ = true;
  WordTable words_;
  std::vector<uint16_t> merged_words_;      // their merged ids, back to back
  std::vector<uint32_t> merged_starts_;     // word i is merged_words_[starts[i], starts[i + 1])
  std::vector<bool> apart_;                 // word i merges alone as within any text
  std::vector<uint16_t> word_, first_ids_;  // scratch
};

// The steps of encoding, with their refusals: `initial()` gives the initial ids of the text and
// `merge(ids)` merges them in place.
template <class Initial, class Merge>
std::vector<uint16_t> encode_steps(const BPE& model, Initial initial, Merge merge) {
  if (model.vocab.empty()) {
    std::cerr << message::kEncodeUntrained;
    return {};
  }
  std::vector<uint16_t> ids = initial();
  if (ids.empty()) {
    std::cerr << message::kEncodeEmpty;
    return {};
  }
  if (ids.size() > static_cast<size_t>(INT32_MAX)) {
    throw std::length_error("encode: more than 2^31 - 1 characters in one text");
  }
  merge(ids);
  return ids;
}

// Applies the model's merges to the ids of one text, in place, with the result and any error of
// the plain rescan. Long texts go through a fresh Encoder, merging each distinct word once.
void apply_merges(std::vector<uint16_t>& ids, const BPE& model, Interrupt& interrupt);
