#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/units.h"
#include "common/word_table.h"

// The distinct words of a corpus and how often each occurs. A word is a run of code units other
// than the boundary unit 0x0000; each distinct word is stored once, so a corpus costs memory in
// proportion to its vocabulary of words, not to its length.
class WordCounts {
 public:
  // Counts one more occurrence of the word `units` (not empty, no 0x0000 inside).
  void add(std::span<const uint16_t> units) {
    const auto [index, added] = words_.intern(units);
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

  // Hand over the words back to back and their counts, emptying this object.
  std::vector<uint16_t> take_units() { return words_.take_units(); }
  std::vector<uint64_t> take_counts() { return std::move(counts_); }

 private:
  WordTable words_;
  std::vector<uint64_t> counts_;
};

// Unit sink that splits a code-unit sequence at 0x0000 and counts its words.
class WordSplitter {
 public:
  explicit WordSplitter(WordCounts& words) : words_(words) {}
  void operator()(uint16_t unit) {
    ++units_;
    if (unit == kBoundary) {
      finish();
    } else {
      current_.push_back(unit);
    }
  }
  // Counts the word in progress, if any; call once after the last unit.
  void finish() {
    if (current_.empty()) return;
    words_.add(current_);
    current_.clear();
  }
  uint64_t units() const { return units_; }

 private:
  WordCounts& words_;
  std::vector<uint16_t> current_;
  uint64_t units_ = 0;
};

// The words of a training code-unit sequence, counted.
WordCounts count_words(const std::vector<uint16_t>& units);
