#pragma once

// Small models described by fuzz input: consistent ones (as one training would leave them) and
// arbitrary ones (as a caller may assign them from Python, breaking every rule of the model).

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "model/bpe.h"

namespace fuzz {

// Pieces that texts are made of: ASCII letters, the space and its marker U+0120, a tab, NUL,
// two- and three-byte characters, U+F600 (what U+1F600 becomes), and bytes that are not UTF-8.
inline const std::vector<std::string>& atoms() {
  static const std::vector<std::string> table = {
      "a",
      "b",
      "c",
      "d",
      " ",
      "\xC4\xA0",
      "\t",
      std::string(1, '\0'),
      "\xC3\xA9",
      "\xE4\xB8\xAD",
      "\xEF\x98\x80",
      "\xEF\xBF\xBD",
      "\n",
      "e",
      "\xFF",
      "\xC0\x80",
  };
  return table;
}

// Atoms that may also appear in encoded text: the above, plus four-byte characters (cut to 16
// bits: U+1F600 -> U+F600, U+10020 -> a space, U+1D800 -> a surrogate unit, an error) and broken
// sequences (truncated, encoded surrogate, above U+10FFFF).
inline const std::vector<std::string>& text_atoms() {
  static const std::vector<std::string> table = [] {
    std::vector<std::string> t = atoms();
    for (const char* extra :
         {"\xF0\x9F\x98\x80", "\xF4\x80\x80\xA0", "\xF0\x9D\xA0\x80", "\xE2\x82", "\xED\xA0\x80",
          "\xF4\x90\x80\x80", "\x80", "\xF0\x90\x80\xAB"}) {
      t.emplace_back(extra);
    }
    return t;
  }();
  return table;
}

inline std::string atom_text(Input& in, size_t max_atoms, const std::vector<std::string>& table) {
  std::string text;
  const size_t n = in.below(max_atoms + 1);
  for (size_t i = 0; i < n; ++i) text += table[in.below(table.size())];
  return text;
}

// An id as tables assigned from Python may hold it: mostly small, sometimes just past vocab,
// at the 16-bit edge, or above it (encoding keeps the low 16 bits).
inline uint32_t wild_id(Input& in, size_t vocab_size) {
  switch (in.below(8)) {
    case 0:
      return static_cast<uint32_t>(vocab_size);
    case 1:
      return 0xFFFF;
    case 2:
      return 0x10000 + static_cast<uint32_t>(in.below(4));
    case 3:
      return 0xFFFFFFFF;
    default:
      return static_cast<uint32_t>(in.below(vocab_size + 2));
  }
}

inline uint32_t wild_rank(Input& in) {
  switch (in.below(8)) {
    case 0:
      return 0xFFFFFFFF;
    case 1:
      return 0xFFFFFFFE;
    default:
      return in.below(6);
  }
}

// A model whose tables obey no rule: vocab texts, token_to_id and merge_rank chosen freely.
inline BPE arbitrary_model(Input& in) {
  BPE model(static_cast<int>(in.u16()));
  const size_t n = in.below(10);
  for (size_t i = 0; i < n; ++i) model.vocab.push_back(atom_text(in, 3, atoms()));
  // Usually start from the true reverse table, then disturb it.
  if (in.flag()) {
    for (size_t i = 0; i < n; ++i) model.token_to_id[model.vocab[i]] = static_cast<uint32_t>(i);
  }
  for (size_t k = in.below(8); k > 0; --k) {
    if (in.below(4) == 0 && !model.token_to_id.empty()) {
      model.token_to_id.erase(model.token_to_id.begin());
    } else {
      model.token_to_id[atom_text(in, 3, atoms())] = wild_id(in, n);
    }
  }
  for (size_t k = in.below(12); k > 0; --k) {
    uint32_t key;
    if (in.below(8) == 0) {
      key = in.u32();
    } else {
      key = (wild_id(in, n) & 0xFFFF) << 16 | (wild_id(in, n) & 0xFFFF);
    }
    model.merge_rank[key] = wild_rank(in);
  }
  return model;
}

// A model as one training leaves it: initial symbols, then merges of existing tokens in rank
// order; token_to_id maps each text to its highest id, merge_rank holds each merged key once.
inline BPE consistent_model(Input& in) {
  BPE model(0);
  const auto& table = atoms();
  std::vector<bool> used(table.size(), false);
  for (size_t k = 1 + in.below(8); k > 0; --k) {
    const size_t a = in.below(table.size());
    if (!used[a] && table[a] != " " && table[a] != "\xFF" && table[a] != "\xC0\x80") {
      used[a] = true;
      model.vocab.push_back(table[a]);
    }
  }
  if (model.vocab.empty()) model.vocab.push_back("a");
  uint32_t rank = 0;
  for (size_t k = in.below(24); k > 0; --k) {
    const auto left = static_cast<uint16_t>(in.below(model.vocab.size()));
    const auto right = static_cast<uint16_t>(in.below(model.vocab.size()));
    const uint32_t key = (uint32_t{left} << 16) | right;
    if (model.merge_rank.count(key)) continue;
    model.merge_rank[key] = rank++;
    model.vocab.push_back(model.vocab[left] + model.vocab[right]);
  }
  for (size_t id = 0; id < model.vocab.size(); ++id)
    model.token_to_id[model.vocab[id]] = static_cast<uint32_t>(id);
  model.vocab_size = static_cast<int>(model.vocab.size());
  return model;
}

}  // namespace fuzz
