#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/code_units.h"
#include "common/realloc_array.h"
#include "common/word_table.h"

// The distinct words of a corpus and how often each occurs. A word is a run of code units other
// than the boundary unit 0x0000; each distinct word is stored once, so a corpus costs memory in
// proportion to its vocabulary of words, not to its length.
class WordCounts {
 public:
  // Counts one more occurrence of the word `units` (not empty, no 0x0000 inside) of
  // WordTable::hash `hash`.
  void add(std::span<const uint16_t> units, uint32_t hash) {
    const auto [index, added] = words_.intern(units, hash);
    if (added) {
      counts_.push_back(1);
    } else {
      ++counts_[index];
    }
  }

  size_t size() const { return counts_.size(); }
  std::span<const uint16_t> word(size_t i) const { return words_.word(i); }
  uint64_t count(size_t i) const { return counts_[i]; }
  uint64_t total_units() const { return words_.total_units(); }
  uint64_t word_start(size_t i) const { return words_.start(i); }
  // Starts loading what counting a word of hash `hash` will look at.
  void prefetch(uint32_t hash) const { words_.prefetch(hash); }

  // Hand over the words back to back and their counts, emptying this object.
  HugeVector<uint16_t> take_units() { return words_.take_units(); }
  std::vector<uint64_t> take_counts() { return std::move(counts_); }

 private:
  WordTable words_;
  std::vector<uint64_t> counts_;
};

// Unit sink that splits a code-unit sequence at 0x0000 and counts its words. Finished words wait
// in a short batch whose table slots are fetched meanwhile; they are counted in their order, so
// the counts and word indices are those of counting each word at once.
class WordSplitter {
 public:
  explicit WordSplitter(WordCounts& words) : words_(words) {}
  void operator()(uint16_t unit) {
    ++units_;
    if (unit == kBoundary) {
      end_word();
    } else {
      pending_.push_back(unit);
    }
  }
  // Counts the words still waiting, the one in progress included; call once after the last unit.
  void finish() {
    end_word();
    flush();
  }
  uint64_t units() const { return units_; }

 private:
  // Words that wait while their slots load: enough for the loads to overlap, few enough that
  // the waiting words stay in the first cache level.
  static constexpr size_t kBatch = 16;

  void end_word() {
    const size_t begin = ends_.empty() ? 0 : ends_.back();
    if (pending_.size() == begin) return;
    const uint32_t hash = WordTable::hash({pending_.data() + begin, pending_.size() - begin});
    words_.prefetch(hash);
    ends_.push_back(pending_.size());
    hashes_.push_back(hash);
    if (ends_.size() == kBatch) flush();
  }
  void flush() {
    size_t begin = 0;
    for (size_t i = 0; i < ends_.size(); ++i) {
      words_.add({pending_.data() + begin, ends_[i] - begin}, hashes_[i]);
      begin = ends_[i];
    }
    pending_.clear();
    ends_.clear();
    hashes_.clear();
  }

  WordCounts& words_;
  ReallocArray<uint16_t> pending_;  // the waiting words back to back, then the word in progress
  std::vector<size_t> ends_;        // where each waiting word ends in pending_
  std::vector<uint32_t> hashes_;
  uint64_t units_ = 0;
};

// The words of a training code-unit sequence, counted.
inline WordCounts count_words(const std::vector<uint16_t>& units) {
  WordCounts words;
  WordSplitter split(words);
  for (uint16_t unit : units) split(unit);
  split.finish();
  return words;
}
