#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "common/interrupt.h"
#include "model/bpe.h"
#include "model/merger.h"
#include "model/short_words.h"
#include "model/word_cache.h"

// Design note. Everything encoding derives from the tables (the initial id of each code unit,
// the flat ranks with the ids their pairs join to, whether words may be merged apart, the merged
// words themselves) is kept in an Encoder made from one state of a model's tables. An Encoder
// never checks whether the tables changed: C++ code may change any table in place, so only a
// fingerprint of their whole contents could tell, and computing it costs as much as deriving.
// Instead an Encoder is kept only by an owner that sees every change: the Python object, whose
// tables change only through its setters and training, each of which drops its Encoder first,
// and which derives a new one at the next encode (the getters hand out copies). `BPE` itself
// keeps nothing derived, so copying or moving it, or assigning its members, can leave nothing
// stale; `BPE::encode` keeps none (encode_once), so concurrent const calls share no state. An
// Encoder is used by one call at a time (the binding refuses a nested call), and keeps no
// pointer to anything of a call's once it returns: each call hands down its own Interrupt.
// Kept data: the initial id of every code unit and the flat ranks with their joined ids (about
// 1 MB for a 32,000-token model); the short-word table (short_words.h); and the word cache
// (word_cache.h).
// Performance notes. Measured at 00a3b4a on one synthetic text of 11.4 MB (lines of 15 words
// drawn from a 60,000-word Zipf lexicon; a 32,000-token model trained on 15 MB of the same), a
// kept Encoder's second call, best of 7, each trick switched off in a build of its own and timed
// in one run with the unchanged build (2 cores, lightly loaded; differences under 5 % are noise):
// - The word cache (each distinct word merged once): 68 MB/s, against 1.7 MB/s for the heap
//   merger over the whole text. Every other figure assumes it.
// - The short-word table (short_words.h): 68 against 64 MB/s without it.
// - Batches of kBatch = 16 words whose table slots are all fetched before the first is answered:
//   68 against 62 MB/s with batches of one word.
// - Eight ASCII bytes at once in initial_ids (encoder.cpp): within the noise on this text; it
//   costs one test per eight bytes.
// - Decoding (python/decode_table.h) writes each token's units straight into the str: 560
//   against 200 MB/s of output through the joined UTF-8 and a decode of it.
// The other choices, measured at d9f8e09 in instructions (callgrind, PYTHONHASHSEED=0, so that
// a count repeats to a few thousand): a 32,000-token model trained on 8 MB of English technical
// text, then 20,000 lines of 2 MB of unseen English one call each on a kept Encoder (206 M
// instructions of encoding) and the 2 MB in one call (305 M), each choice changed in a build of
// its own; per call / whole text:
// - kShortRun = 64 (scan against heap): 16 gives -0.3 % / +0.7 %.
// - The word-cache bounds (word_cache.h): four times larger 0.0 % / 0.0 %, a quarter +0.3 % /
//   0.0 %: insensitive on these texts, which never reach them (but see below).
// - The short-word table: 2^14 slots -0.1 % / +0.8 %, 2^16 slots +0.9 % / +0.5 %; filled to one
//   half instead of three quarters 0.0 % / 0.0 %; one multiplier for all four parts of its hash
//   -0.2 % / -0.3 %: insensitive.
// - U32Map filled to one half instead of three quarters 0.0 % / 0.0 %, WordTable to three
//   quarters instead of one half -0.1 % / -0.2 %: insensitive.
// - kMinIdsForShortWords = 2^16 and kKeptScratchNodes = 4096 (encoder.cpp): 2^14 and 65,536
//   0.0 % / 0.0 %: insensitive on these texts.
// Measured at the change that added encode_once, on 10 MB of English, code and CJK (the first
// 10 MB of each kind's corpus, tab and line ends as spaces) with models of 8,000 and 32,000
// tokens trained on the kind, each in a fresh process, load average 1.4 to 1.9 on 2 cores:
// - encode_once: BPE::encode of a line of about 50 bytes took 2.80 M instructions with a fresh
//   Encoder (945,000 at 8,000 tokens), 43,000 looked up in the model's tables (40,000). 1 MB
//   still gets a fresh Encoder: 128 M (117 M) instructions, 124 M (113 M) with the scan below.
//   Each ASCII unit then looked up once per call (32,000 tokens, lines of the English corpus):
//   32,400 instructions for 50 bytes, 658,000 for 1 KB, 2.77 M for 4 KB, against 37,300,
//   667,000 and 2.65 M for the separate short-text route the encoder had before; 8 KB, a fresh
//   Encoder either way, 4.77 M against 5.01 M.
// - Tried, not kept: word-cache bounds of 2^18 words and 2^22 units instead of 2^15 and 2^18,
//   so that a 10 MB text's distinct words stay for the next call. Later calls ran 1.6 to 2.2
//   times faster on English and code (the same text again, or another 10 MB of its kind), the
//   first call not at all; but a kept Encoder then holds 20 to 26 MiB more, and short calls on
//   one Encoder took 1.34 against 1.01 us each (100,000 lines in a Python loop after a first
//   pass). Memory held by every model object for a gain only on repeated text did not pay.
// - The scan's arrays as Merger members, not initialised per word: -3 % of the instructions of
//   a first call on 1 MB of English (125.3 M against 121.5 M).
// - Tried, did not help: a table of masks in ShortWords::make_key (+1.5 % instructions on a
//   second call on 1 MB); the short-word table on one huge page (1.36 against 1.40 us per call
//   best, 1.67 against 1.58 median: noise); all ints of IdObjects made at once in id order,
//   so that frequent ones lie together (1.17 against 1.13 us per call median).
// Instruction counts do not show cache misses: the sizes were chosen to stay within the caches
// and memory a kept Encoder may hold. To re-measure one, change it in a build of its own and
// count the same calls against the unchanged build.
class Encoder {
 public:
  // Derives the data from `model`'s current tables; `model` must outlive the Encoder and keep
  // its tables unchanged while the Encoder is used.
  explicit Encoder(const BPE& model);
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  // Exactly `model.encode(text, interrupt)` on the tables the Encoder was made from, refusals
  // included (`encode_checked` in bpe.h). An exception, an interrupt or running out of memory
  // included, leaves an Encoder whose next call works.
  std::vector<uint16_t> encode(std::string_view text, Interrupt& interrupt);
  // The same for one call with nothing kept: a text long enough to pay for it gets a fresh
  // Encoder; a shorter one is looked up in the model's own tables and merged whole.
  static std::vector<uint16_t> encode_once(const BPE& model, std::string_view text,
                                           Interrupt& interrupt);

  // Merges `ids` in place with the result, or the error, of the plain rescan.
  void merge(std::vector<uint16_t>& ids, Interrupt& interrupt);

 private:
  // A word of the text being merged, while its batch passes through merge_words. The first pass
  // finds it (and keys a short one); the probe of the short-word table then leaves it either a
  // short-word hit or a cache lookup.
  struct CacheLookup {
    uint32_t hash;           // its hash in the word cache
    ShortWords::Slot* room;  // the free short-word slot its merged ids may fill, or nullptr
  };
  struct PendingWord {
    size_t begin, end;    // its ids in the text
    bool keyed;           // short, and the table is made: probed for with `key`
    ShortWords::Key key;  // keyed: its key in the short-word table
    // What the probe leaves: a short-word hit, or else a lookup in the word cache.
    const ShortWords::Slot* hit;  // the slot holding its merged ids, or nullptr
    CacheLookup lookup;           // unless hit
  };
  static constexpr size_t kBatch = 16;

  // Merges word by word from the caches; false (ids untouched) where the words of this text
  // cannot be merged apart, or one of them fails to merge.
  bool merge_words(std::vector<uint16_t>& ids, Interrupt& interrupt);
  // The passes of merge_words over one batch of words, starting at `ids[next]`: the words are
  // found and keyed, and the table slots they need are fetched; short words are probed for;
  // then each word's merged ids are written at `to`, which is advanced. Returns how many words
  // `batch` holds (where the first pass ends), and false from the last pass where a word does
  // not merge apart.
  size_t collect_batch(const std::vector<uint16_t>& ids, size_t next, PendingWord* batch);
  void probe_short_words(const std::vector<uint16_t>& ids, PendingWord* batch, size_t count);
  bool write_batch(const std::vector<uint16_t>& ids, const PendingWord* batch, size_t count,
                   uint16_t*& to, Interrupt& interrupt);
  // Merges the word `ids` alone in place; whether it merges apart. A word that fails to merge
  // is left empty and does not merge apart: the whole-text merge raises its error.
  bool merge_word(std::vector<uint16_t>& ids, Interrupt& interrupt);

  const BPE& model_;
  std::vector<int32_t> unit_ids_;  // code unit -> initial id, kDropped or kSurrogate
  std::vector<bool> absorbable_;   // ids that are the right side of a ranked pair
  int32_t marker_ = -1;            // id of the space marker, -1 where words are merged whole
  Merger<> merger_;
  std::unique_ptr<ShortWords> short_words_;  // made once it pays, then kept
  size_t merged_calls_ = 0;                  // calls of merge_words so far
  WordCache words_;
  std::vector<uint16_t> first_ids_;  // scratch: the ids a word's first node takes
};
