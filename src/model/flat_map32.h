#pragma once

#include <cstdint>
#include <optional>
#include <vector>

// Open-addressing map from 32-bit keys to 32-bit values, for the hot lookups of encoding. The
// entry (0xFFFFFFFF -> 0xFFFFFFFF) cannot be stored: all ones marks a free slot.
class FlatMap32 {
 public:
  explicit FlatMap32(size_t expected = 8) { reset(expected); }

  std::optional<uint32_t> find(uint32_t key) const {
    for (size_t s = slot_of(key);; s = (s + 1) & mask_) {
      const uint64_t slot = slots_[s];
      if (slot == kEmpty) return std::nullopt;
      if (static_cast<uint32_t>(slot >> 32) == key) return static_cast<uint32_t>(slot);
    }
  }

  // Inserts or overwrites.
  void insert(uint32_t key, uint32_t value) {
    if ((size_ + 1) * 2 > slots_.size()) grow();
    size_t s = slot_of(key);
    while (slots_[s] != kEmpty && static_cast<uint32_t>(slots_[s] >> 32) != key) s = (s + 1) & mask_;
    if (slots_[s] == kEmpty) ++size_;
    slots_[s] = (static_cast<uint64_t>(key) << 32) | value;
  }

 private:
  static constexpr uint64_t kEmpty = ~uint64_t{0};

  size_t slot_of(uint32_t key) const {
    return static_cast<size_t>((key * 0x9E3779B97F4A7C15ULL) >> 32) & mask_;
  }

  void reset(size_t expected) {
    size_t size = 16;
    while (size < expected * 2) size *= 2;
    slots_.assign(size, kEmpty);
    mask_ = size - 1;
    size_ = 0;
  }

  void grow() {
    std::vector<uint64_t> old;
    old.swap(slots_);
    reset(old.size());
    for (uint64_t slot : old) {
      if (slot != kEmpty) insert(static_cast<uint32_t>(slot >> 32), static_cast<uint32_t>(slot));
    }
  }

  std::vector<uint64_t> slots_;
  size_t mask_ = 0;
  size_t size_ = 0;
};
