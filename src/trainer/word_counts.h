#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// The distinct words of a corpus and how often each occurs. A word is a run of code units other
// than the boundary unit 0x0000. Words are stored back to back in one arena, in order of first
// appearance, and found again through an open-addressing index, so a corpus costs memory in
// proportion to its vocabulary of words, not to its length.
class WordCounts {
 public:
  // Counts one more occurrence of the word `units` (not empty, no 0x0000 inside).
  void add(std::span<const uint16_t> units);

  size_t size() const { return counts_.size(); }
  std::span<const uint16_t> word(size_t i) const {
    return {arena_.data() + starts_[i], static_cast<size_t>(starts_[i + 1] - starts_[i])};
  }
  uint64_t count(size_t i) const { return counts_[i]; }
  uint64_t total_units() const { return arena_.size(); }

 private:
  size_t find_slot(std::span<const uint16_t> units, uint64_t hash) const;
  void grow();

  std::vector<uint16_t> arena_;
  std::vector<uint64_t> starts_{0};  // word i is arena_[starts_[i], starts_[i + 1])
  std::vector<uint64_t> counts_;
  std::vector<uint64_t> hashes_;
  std::vector<uint32_t> slots_;  // word index + 1; 0 marks a free slot
};

// Unit sink that splits a code-unit sequence at 0x0000 and counts its words.
class WordSplitter {
 public:
  explicit WordSplitter(WordCounts& words) : words_(words) {}
  void operator()(uint16_t unit) {
    ++units_;
    if (unit == 0) {
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
