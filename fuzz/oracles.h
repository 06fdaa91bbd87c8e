#pragma once

// Plain reference implementations that the harnesses compare the core against. Each one is the
// slow, obvious way to compute the documented result; none shares code with the core.

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/bpe.h"

namespace oracle {

// Encoding by the plain rescan: decode the whole text, look every character up, then merge the
// leftmost pair of lowest rank, one occurrence per full scan, until no adjacent pair is ranked.
// Diagnostics go to `err`; exceptions (malformed UTF-8, ids outside vocab, merged text missing
// from token_to_id) propagate.
std::vector<uint16_t> rescan_encode(const BPE& model, const std::string& text, std::ostream& err);

// The same result as rescan_encode, reached without rescanning: the ranked adjacent pairs are
// kept in an ordered set by (rank, position), and each merge replaces exactly the entries of
// the pairs it touches. For texts too long for the rescan; checked against it on short ones.
std::vector<uint16_t> ordered_encode(const BPE& model, const std::string& text, std::ostream& err);

// Decoding: each id's text and a space, U+FFFD for an id outside vocab.
std::string plain_decode(const BPE& model, const std::vector<uint16_t>& ids, std::ostream& err);

// The corpus reader on a whole in-memory file: strict UTF-8, code points cut to 16 bits, tab,
// line feed, carriage return and space -> 0x0000 0x0120, then one closing 0x0000. Appends to
// `units`; on malformed input throws with the units decoded before the fault already appended.
void whole_buffer_units(const std::string& bytes, std::vector<uint16_t>& units);

// The reading bar as it stands after the last byte of a file of `size` bytes, `tokens` units.
std::string final_reading_bar(uint64_t size, uint64_t tokens);

// Result of a reference training run that was not refused.
struct Trained {
  std::vector<std::string> vocab;
  std::unordered_map<uint32_t, uint32_t> merge_rank;
  std::unordered_map<std::string, uint32_t> token_to_id;
  size_t initial_symbols = 0;
};

// Training by recounting: initial ids in ascending code-unit order, then again and again the
// pair with the highest number of adjacent occurrences (the smaller pair key on ties), merged
// left to right inside each word, until the vocabulary holds vocab_size tokens or no pair is
// left. Refusals write their diagnostic to `err` and give nullopt; a symbol in the surrogate
// range throws utf8::invalid_code_point.
std::optional<Trained> recount_train(const std::vector<uint16_t>& units, int vocab_size,
                                     std::ostream& err);

}  // namespace oracle
