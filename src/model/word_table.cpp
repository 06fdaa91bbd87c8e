#include "model/word_table.h"

#include <algorithm>
#include <stdexcept>

namespace {

uint64_t hash_units(std::span<const uint16_t> units) {
  uint64_t h = 0xCBF29CE484222325ULL ^ units.size();
  for (uint16_t u : units) h = (h ^ u) * 0x100000001B3ULL;
  return h ^ (h >> 31);
}

size_t slot_of(uint64_t hash, size_t slot_count) {
  return static_cast<size_t>((hash * 0x9E3779B97F4A7C15ULL) >> 20) & (slot_count - 1);
}

}  // namespace

size_t WordTable::find_slot(std::span<const uint16_t> units, uint64_t hash) const {
  for (size_t s = slot_of(hash, slots_.size());; s = (s + 1) & (slots_.size() - 1)) {
    const uint32_t entry = slots_[s];
    if (entry == 0) return s;
    const size_t i = entry - 1;
    if (hashes_[i] == hash && std::ranges::equal(word(i), units)) return s;
  }
}

void WordTable::grow() {
  std::vector<uint32_t> bigger(std::max<size_t>(1024, slots_.size() * 2), 0);
  slots_.swap(bigger);
  for (size_t i = 0; i < hashes_.size(); ++i) {
    size_t s = slot_of(hashes_[i], slots_.size());
    while (slots_[s] != 0) s = (s + 1) & (slots_.size() - 1);
    slots_[s] = static_cast<uint32_t>(i + 1);
  }
}

std::pair<uint32_t, bool> WordTable::intern(std::span<const uint16_t> units) {
  if ((size() + 1) * 2 > slots_.size()) grow();  // load factor at most one half
  const uint64_t hash = hash_units(units);
  const size_t s = find_slot(units, hash);
  if (slots_[s] != 0) return {slots_[s] - 1, false};
  if (size() >= UINT32_MAX - 1) throw std::length_error("too many distinct words");
  arena_.insert(arena_.end(), units.begin(), units.end());
  starts_.push_back(arena_.size());
  hashes_.push_back(hash);
  slots_[s] = static_cast<uint32_t>(size());
  return {slots_[s] - 1, true};
}

std::vector<uint16_t> WordTable::take_units() {
  std::vector<uint16_t> units = std::move(arena_);
  *this = WordTable();
  return units;
}
