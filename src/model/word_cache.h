#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "common/word_table.h"

// The word cache of a kept Encoder: words of recent texts, as initial ids, each with its merged
// ids and whether it merges apart (alone as within any text). Each distinct word is merged once
// and then copied from here, across calls.
//
// Contract:
// - All or nothing: a word is added with its merged ids and its flag together; a throw while it
//   is merged or stored (an interrupt, running out of memory) leaves the cache as it was.
// - Bounded: `trim` empties it, releasing its memory, once it holds more than kMaxWords words
//   or kMaxUnits units. Within one call it grows as it must (a long text's distinct words).
class WordCache {
 public:
  // Kept between calls: a call that leaves more words or units than this empties the cache.
  // About the distinct words of 10 MB of English or code (135,000 and 150,000 words), which
  // then hold 20 to 26 MiB, so that a long text's next call, or the next text of its kind,
  // merges only the words it adds (encoder.h, performance notes).
  static constexpr size_t kMaxWords = size_t{1} << 18;
  static constexpr uint64_t kMaxUnits = uint64_t{1} << 22;

  // Index of the word `units` of WordTable hash `hash`, and whether this call added it. A new
  // word's merged ids come from `merge(ids)`, which merges a copy of the word in place and
  // returns whether it merges apart.
  template <class Merge>
  std::pair<uint32_t, bool> find_or_add(std::span<const uint16_t> units, uint32_t hash,
                                        Merge&& merge) {
    if (const std::optional<uint32_t> index = words_.find(units, hash)) return {*index, false};
    word_.assign(units.begin(), units.end());
    const bool apart = merge(word_);
    // Each step that throws has changed nothing itself; the ones before it are undone.
    const auto begin = static_cast<uint32_t>(merged_.size());
    merged_.insert(merged_.end(), word_.begin(), word_.end());
    try {
      entries_.push_back({begin, static_cast<uint32_t>(merged_.size()), apart});
    } catch (...) {
      merged_.resize(begin);
      throw;
    }
    try {
      return words_.intern(units, hash);
    } catch (...) {
      entries_.pop_back();
      merged_.resize(begin);
      throw;
    }
  }

  // The merged ids of word `index`.
  std::span<const uint16_t> merged(uint32_t index) const {
    const Entry& entry = entries_[index];
    return {merged_.data() + entry.begin, entry.end - entry.begin};
  }
  // Whether word `index` merges alone as within any text.
  bool apart(uint32_t index) const { return entries_[index].apart; }
  // Starts loading the slot a word of hash `hash` is looked up in.
  void prefetch(uint32_t hash) const { words_.prefetch(hash); }

  // Empties the cache and releases its memory where it holds more than the bounds.
  void trim() {
    if (words_.size() > kMaxWords || words_.total_units() > kMaxUnits) *this = WordCache();
  }

 private:
  struct Entry {
    uint32_t begin, end;  // the word's merged ids: merged_[begin, end)
    bool apart;
  };
  WordTable words_;
  std::vector<uint16_t> merged_;  // merged ids of the words, back to back
  std::vector<Entry> entries_;    // per word, in the order of the table's indices
  std::vector<uint16_t> word_;    // scratch: the word being merged
};
