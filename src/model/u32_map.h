#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// Open-addressing hash map from 32-bit keys to values, for the hot lookups of encoding and
// training: one probe sequence over flat arrays instead of a bucket list per key. Entries are
// never erased. The key 0xFFFFFFFF marks free slots, so its own entry is kept aside.
template <class Value>
class U32Map {
 public:
  explicit U32Map(size_t expected = 8) { reset(expected); }

  Value* find(uint32_t key) {
    if (key == kFree) return spare_ ? &*spare_ : nullptr;
    for (size_t s = slot_of(key);; s = next(s)) {
      if (keys_[s] == key) return &values_[s];
      if (keys_[s] == kFree) return nullptr;
    }
  }
  const Value* find(uint32_t key) const { return const_cast<U32Map*>(this)->find(key); }

  // The value of `key`, inserted value-initialised when absent. Invalidates other references.
  Value& operator[](uint32_t key) {
    if (key == kFree) return spare_ ? *spare_ : spare_.emplace();
    if ((size_ + 1) * 4 > keys_.size() * 3) grow();  // load factor at most 3/4
    size_t s = slot_of(key);
    while (keys_[s] != key && keys_[s] != kFree) s = next(s);
    if (keys_[s] == kFree) {
      keys_[s] = key;
      ++size_;
    }
    return values_[s];
  }

  size_t size() const { return size_ + (spare_ ? 1 : 0); }

  // Calls f(key, value) for every entry, in slot order.
  template <class F>
  void for_each(F&& f) {
    for (size_t s = 0; s < keys_.size(); ++s) {
      if (keys_[s] != kFree) f(keys_[s], values_[s]);
    }
    if (spare_) f(kFree, *spare_);
  }
  template <class F>
  void for_each(F&& f) const {
    const_cast<U32Map*>(this)->for_each([&](uint32_t key, const Value& value) { f(key, value); });
  }

 private:
  static constexpr uint32_t kFree = 0xFFFFFFFF;

  size_t slot_of(uint32_t key) const {
    return static_cast<size_t>((key * 0x9E3779B97F4A7C15ULL) >> 32) & (keys_.size() - 1);
  }
  size_t next(size_t s) const { return (s + 1) & (keys_.size() - 1); }

  void reset(size_t expected) {
    size_t slots = 16;
    while (slots * 3 < expected * 4) slots *= 2;
    keys_.assign(slots, kFree);
    values_.assign(slots, Value{});
    size_ = 0;
  }

  void grow() {
    std::vector<uint32_t> keys;
    std::vector<Value> values;
    keys.swap(keys_);
    values.swap(values_);
    reset(keys.size());
    for (size_t s = 0; s < keys.size(); ++s) {
      if (keys[s] != kFree) (*this)[keys[s]] = std::move(values[s]);
    }
  }

  std::vector<uint32_t> keys_;
  std::vector<Value> values_;
  size_t size_ = 0;
  std::optional<Value> spare_;  // the value of key 0xFFFFFFFF
};
