// The least an encoder that merges each distinct word once must do: decode the text, give each
// code unit its initial id (a space read as the marker, characters the vocabulary lacks
// dropped), cut a word before every id of the marker as encoding does, and copy each word's
// merged ids from a hash table into a 16-bit array. The table is filled before timing, each
// distinct word merged alone by the project's Encoder.
//   encode_bound TABLES TEXT REPEATS IDS
// TABLES: u32 token count, then each token's byte length (u32) and UTF-8 bytes; u32 merge
// count, then each merge's pair key and rank (u32). TEXT: one text per line. Times REPEATS
// passes, writes the ids to IDS (u16) and prints "<ids> <seconds of each pass>".
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "common/code_units.h"
#include "corpus_words.h"
#include "model/encoder.h"
#include "model/word_cache.h"

namespace {

BPE read_tables(const char* path) {
  const std::vector<char> bytes = read_corpus(path);
  size_t at = 0;
  auto u32 = [&] {
    uint32_t value;
    std::memcpy(&value, bytes.data() + at, 4);
    at += 4;
    return value;
  };
  BPE model(0);
  model.vocab.resize(u32());
  for (uint32_t id = 0; id < model.vocab.size(); ++id) {
    const uint32_t length = u32();
    model.vocab[id].assign(bytes.data() + at, length);
    at += length;
    model.token_to_id[model.vocab[id]] = id;  // the highest id of a text wins
  }
  for (uint32_t merges = u32(); merges > 0; --merges) {
    const uint32_t key = u32();
    model.merge_rank[key] = u32();
  }
  return model;
}

// Calls word(ids) for every word of every line of `text`, as encoding cuts it.
template <class F>
void for_each_encoded_word(const std::vector<char>& text, const std::vector<int32_t>& unit_ids,
                           int32_t marker, F&& word) {
  std::vector<uint16_t> ids;
  const char* it = text.data();
  const char* const end = it + text.size();
  while (it < end) {
    if (*it == '\n') {  // a text ends
      ++it;
      if (!ids.empty()) word(ids);
      ids.clear();
      continue;
    }
    const int32_t id = unit_ids[next_unit(it, end)];
    if (id < 0) continue;
    if (id == marker && !ids.empty()) {
      word(ids);
      ids.clear();
    }
    ids.push_back(static_cast<uint16_t>(id));
  }
  if (!ids.empty()) word(ids);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cerr << "usage: encode_bound TABLES TEXT REPEATS IDS\n";
    return 2;
  }
  const BPE model = read_tables(argv[1]);
  const std::vector<char> text = read_corpus(argv[2]);
  const int repeats = std::atoi(argv[3]);
  // Code unit -> initial id, as the Encoder derives it; -1 for a unit the vocabulary lacks.
  std::vector<int32_t> unit_ids(1 << 16, -1);
  for (uint32_t unit = 0; unit < unit_ids.size(); ++unit) {
    if (unit >= 0xD800 && unit < 0xE000) continue;
    std::string utf8;
    utf8::append(unit, std::back_inserter(utf8));
    if (const auto found = model.token_to_id.find(utf8); found != model.token_to_id.end()) {
      unit_ids[unit] = static_cast<uint16_t>(found->second);
    }
  }
  unit_ids[kSpace] = unit_ids[kSpaceMarker];
  const int32_t marker = unit_ids[kSpaceMarker];

  // The table: each distinct word with its ids merged alone, found by the first, untimed pass.
  Encoder encoder(model);
  Interrupt never;
  WordCache words;
  auto lookup = [&](const std::vector<uint16_t>& ids) {
    const auto merge = [&](std::vector<uint16_t>& word) {
      encoder.merge(word, never);
      return true;
    };
    return words.merged(words.find_or_add(ids, WordTable::hash(ids), merge).first);
  };
  std::vector<uint16_t> out;
  for_each_encoded_word(text, unit_ids, marker, [&](const std::vector<uint16_t>& ids) {
    const std::span<const uint16_t> merged = lookup(ids);
    out.insert(out.end(), merged.begin(), merged.end());
  });
  std::vector<double> seconds;
  for (int pass = 0; pass < repeats; ++pass) {
    const auto t0 = std::chrono::steady_clock::now();
    uint16_t* to = out.data();
    for_each_encoded_word(text, unit_ids, marker, [&](const std::vector<uint16_t>& ids) {
      const std::span<const uint16_t> merged = lookup(ids);
      to = std::copy(merged.begin(), merged.end(), to);
    });
    seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  std::ofstream(argv[4], std::ios::binary)
      .write(reinterpret_cast<const char*>(out.data()),
             static_cast<std::streamsize>(out.size() * sizeof(uint16_t)));
  std::printf("%zu", out.size());
  for (const double s : seconds) std::printf(" %.6f", s);
  std::printf("\n");
  return 0;
}
