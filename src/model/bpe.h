#pragma once

#include <cstdint>
#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/export.h"
#include "common/interrupt.h"
#include "common/messages.h"

// One byte-pair-encoding tokenizer: the vocabulary size training aims at and the three tables.
// A plain value: copying copies the tables, and the members may be replaced whole at any time.
// The model is trained while `vocab` is not empty.
class LORVANE_API BPE {
 public:
  int vocab_size;                                         // target number of tokens
  std::vector<std::string> vocab;                         // token id -> UTF-8 text
  std::unordered_map<uint32_t, uint32_t> merge_rank;      // pair key -> merge rank (0 = first)
  std::unordered_map<std::string, uint32_t> token_to_id;  // text -> id (highest id on repeats)

  // Stores `vocab_size` unchanged and leaves the tables empty; training judges the value.
  BPE(int vocab_size);

  // Learns the tables from a code-unit sequence (0x0000 separates words). On success the
  // sequence is emptied and released and all three tables are replaced together; a refused or
  // failed run leaves the model and the sequence as they were.
  void train(std::vector<uint16_t>& units);

  // Checks, reads and pre-tokenizes a UTF-8 corpus file, then trains as `train` does.
  // `buffer_size` has no effect. Refusals are reported on standard error.
  void train_fromfile(const std::string& filepath, unsigned long buffer_size);
  // The same, polling `interrupt` while it reads and merges; a throw from it leaves the model
  // unchanged.
  void train_fromfile(const std::string& filepath, unsigned long buffer_size, Interrupt& interrupt);

  // Token ids of a UTF-8 text: characters through `token_to_id`, then the leftmost
  // lowest-ranked pair merged again and again. Throws on malformed UTF-8 or broken tables.
  //
  // One route per caller, both through the Encoder (model/encoder.h). C++ callers call this,
  // which keeps nothing (Encoder::encode_once: a short text derives nothing, a long one a fresh
  // Encoder), so concurrent const calls share no state; a C++ caller that encodes many texts
  // with unchanged tables may keep an Encoder of its own instead. The Python object keeps one
  // Encoder per state of its tables and calls Encoder::encode directly. Both refuse in the order
  // of `encode_checked` below.
  std::vector<uint16_t> encode(const std::string& text) const;
  // The same, polling `interrupt` while it works.
  std::vector<uint16_t> encode(std::string_view text, Interrupt& interrupt) const;

  // Texts of the ids, each followed by one space; U+FFFD for an id outside `vocab`.
  std::string decode(const std::vector<uint16_t>& ids) const;
  // The same, polling `interrupt` while it works.
  std::string decode(const std::vector<uint16_t>& ids, Interrupt& interrupt) const;
};

// The refusals of encoding, in their order, around its two steps: `initial()` gives the initial
// ids of the text and `merge(ids)` merges them in place.
//   1. An untrained model: "[BPE::encode] model isnt trained yet !" on standard error, no ids.
//   2. Malformed UTF-8, then a surrogate code point: `initial()` throws utfcpp's error.
//   3. No character of the text in the vocabulary: "[error] empty " on standard error, no ids.
//   4. More than 2^31 - 1 initial ids: std::length_error.
//   5. Broken tables: `merge` throws std::out_of_range at the merge the plain rescan fails at.
template <class Initial, class Merge>
std::vector<uint16_t> encode_checked(const BPE& model, Initial initial, Merge merge) {
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
