#include "common/word_table.h"

#include <algorithm>
#include <stdexcept>

#include "common/slot_hash.h"

namespace {

// A slot holds the word's hash beside its index + 1, so most mismatches are rejected without
// touching the arena; 0 marks a free slot.
uint64_t slot_entry(uint32_t hash, size_t index) {
  return (static_cast<uint64_t>(hash) << 32) | static_cast<uint32_t>(index + 1);
}
uint32_t entry_hash(uint64_t entry) {
  return static_cast<uint32_t>(entry >> 32);
}
size_t entry_index(uint64_t entry) {
  return static_cast<uint32_t>(entry) - size_t{1};
}

}  // namespace

// FNV-1a over the units, folded to 32 bits.
uint32_t WordTable::hash(std::span<const uint16_t> units) {
  uint64_t h = 0xCBF29CE484222325ULL ^ units.size();
  for (uint16_t u : units) h = (h ^ u) * 0x100000001B3ULL;
  return static_cast<uint32_t>(h ^ (h >> 32));
}

void WordTable::prefetch(uint32_t hash) const {
  if (!slots_.empty()) __builtin_prefetch(slots_.data() + slot_of(hash, slots_.size()));
}

size_t WordTable::find_slot(std::span<const uint16_t> units, uint32_t hash) const {
  for (size_t s = slot_of(hash, slots_.size());; s = (s + 1) & (slots_.size() - 1)) {
    const uint64_t entry = slots_[s];
    if (entry == 0) return s;
    if (entry_hash(entry) != hash) continue;
    const std::span<const uint16_t> known = word(entry_index(entry));
    if (known.size() == units.size() && std::equal(known.begin(), known.end(), units.begin())) {
      return s;
    }
  }
}

void WordTable::grow() {
  HugeVector<uint64_t> old(std::max<size_t>(1024, slots_.size() * 2), 0);
  slots_.swap(old);
  for (const uint64_t entry : old) {
    if (entry == 0) continue;
    size_t s = slot_of(entry_hash(entry), slots_.size());
    while (slots_[s] != 0) s = (s + 1) & (slots_.size() - 1);
    slots_[s] = entry;
  }
}

std::optional<uint32_t> WordTable::find(std::span<const uint16_t> units, uint32_t hash) const {
  if (slots_.empty()) return std::nullopt;
  const uint64_t entry = slots_[find_slot(units, hash)];
  if (entry == 0) return std::nullopt;
  return static_cast<uint32_t>(entry_index(entry));
}

std::pair<uint32_t, bool> WordTable::intern(std::span<const uint16_t> units, uint32_t hash) {
  if ((size() + 1) * 2 > slots_.size()) grow();  // load factor at most one half
  const size_t s = find_slot(units, hash);
  if (slots_[s] != 0) return {static_cast<uint32_t>(entry_index(slots_[s])), false};
  if (size() >= UINT32_MAX - 1) throw std::length_error("too many distinct words");
  const size_t index = size();
  arena_.insert(arena_.end(), units.begin(), units.end());  // a throw changes nothing
  try {
    starts_.push_back(arena_.size());
  } catch (...) {
    arena_.resize(arena_.size() - units.size());
    throw;
  }
  slots_[s] = slot_entry(hash, index);
  return {static_cast<uint32_t>(index), true};
}

HugeVector<uint16_t> WordTable::take_units() {
  HugeVector<uint16_t> units = std::move(arena_);
  *this = WordTable();
  return units;
}
