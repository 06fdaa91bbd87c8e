#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "common/slot_hash.h"
#include "common/system_memory.h"

// Open-addressing hash map from 32-bit keys to values, for the hot lookups of encoding and
// training: one probe sequence over flat arrays instead of a bucket list per key. Entries leave
// only through erase_if, all at once. The key 0xFFFFFFFF marks free slots, so its own entry is
// kept aside.
template <class Value>
class U32Map {
 public:
  explicit U32Map(size_t expected = 8) { reset(expected); }

  Value* find(uint32_t key) {
    if (key == kFree) return spare_ ? &*spare_ : nullptr;
    for (size_t s = slot_of(key);; s = next(s)) {
      if (slots_[s].key == key) return &slots_[s].value;
      if (slots_[s].key == kFree) return nullptr;
    }
  }
  const Value* find(uint32_t key) const { return const_cast<U32Map*>(this)->find(key); }

  // The value of `key`, which the caller's own bookkeeping guarantees is present: checked by
  // the builds that keep asserts, probed without a check otherwise.
  Value& known(uint32_t key) {
    Value* value = find(key);
    assert(value != nullptr);
    return *value;
  }
  const Value& known(uint32_t key) const { return const_cast<U32Map*>(this)->known(key); }

  // The value of `key`, inserted value-initialised when absent. Invalidates other references.
  Value& operator[](uint32_t key) {
    if (key == kFree) return spare_ ? *spare_ : spare_.emplace();
    if ((size_ + 1) * 4 > slots_.size() * 3) grow();  // load factor at most 3/4
    size_t s = slot_of(key);
    while (slots_[s].key != key && slots_[s].key != kFree) s = next(s);
    if (slots_[s].key == kFree) {
      slots_[s].key = key;
      ++size_;
    }
    return slots_[s].value;
  }

  // Starts loading the slot where a probe for `key` begins.
  void prefetch(uint32_t key) const { __builtin_prefetch(slots_.data() + slot_of(key)); }

  // Removes every entry, leaving room for `expected` of them.
  void clear(size_t expected) {
    reset(expected);
    spare_.reset();
  }

  size_t size() const { return size_ + (spare_ ? 1 : 0); }
  // Whether inserting `more` new keys would make the table grow.
  bool grows_with(size_t more) const { return (size_ + more) * 4 > slots_.size() * 3; }

  // Erases every entry for which pred(key, value) holds, in place: no second table, so the map
  // can drop its dead entries instead of growing. Invalidates references.
  template <class Pred>
  void erase_if(Pred&& pred) {
    if (spare_ && pred(kFree, *spare_)) spare_.reset();
    // A slot free before the erasure: no probe sequence passes it. One exists: the load is
    // below 1.
    size_t first_free = 0;
    while (slots_[first_free].key != kFree) ++first_free;
    for (Slot& slot : slots_) {
      if (slot.key != kFree && pred(slot.key, slot.value)) {
        slot = Slot{kFree, Value{}};  // a free slot holds the value an insertion starts from
        --size_;
      }
    }
    // Linear probing finds an entry if no free slot lies between its home and its slot. Walking
    // once around from that slot and inserting each entry again moves it to the first free slot
    // of its probe sequence, at or before where it was; the entries between its home and it are
    // placed by then and never move again, so every entry is found again.
    for (size_t k = 1; k <= slots_.size(); ++k) {
      const size_t s = (first_free + k) & (slots_.size() - 1);
      if (slots_[s].key == kFree) continue;
      Slot moving = std::exchange(slots_[s], Slot{kFree, Value{}});
      size_t t = slot_of(moving.key);
      while (slots_[t].key != kFree) t = next(t);
      slots_[t] = std::move(moving);
    }
  }

  // Calls f(key, value) for every entry, in slot order.
  template <class F>
  void for_each(F&& f) {
    for (Slot& slot : slots_) {
      if (slot.key != kFree) f(slot.key, slot.value);
    }
    if (spare_) f(kFree, *spare_);
  }
  template <class F>
  void for_each(F&& f) const {
    const_cast<U32Map*>(this)->for_each([&](uint32_t key, const Value& value) { f(key, value); });
  }

 private:
  static constexpr uint32_t kFree = 0xFFFFFFFF;

  size_t slot_of(uint32_t key) const { return ::slot_of(key, slots_.size()); }
  size_t next(size_t s) const { return (s + 1) & (slots_.size() - 1); }

  void reset(size_t expected) {
    size_t slots = 16;
    while (slots * 3 < expected * 4) slots *= 2;
    slots_.assign(slots, Slot{kFree, Value{}});
    size_ = 0;
  }

  // Moves the entries to a table of twice the slots, made in full before this one changes, so
  // that running out of memory leaves the map as it was.
  void grow() {
    U32Map bigger(slots_.size());
    for (Slot& slot : slots_) {
      if (slot.key != kFree) bigger[slot.key] = std::move(slot.value);
    }
    slots_.swap(bigger.slots_);
  }

  struct Slot {
    uint32_t key;
    Value value;
  };
  // Key and value side by side: one cache line per probe.
  HugeVector<Slot> slots_;
  size_t size_ = 0;
  std::optional<Value> spare_;  // the value of key 0xFFFFFFFF
};
