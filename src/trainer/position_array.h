#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

// The pair occurrence lists back to back: a growable array of node indices in one malloc block,
// grown with realloc. A block this large lives in its own mapping, which realloc grows by
// moving the mapping, so growing never copies the entries and never holds the old and the new
// array at once; a vector would, doubling peak memory. New entries are left uninitialised.
class PositionArray {
 public:
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  uint32_t* data() { return data_.get(); }
  const uint32_t* begin() const { return data_.get(); }
  const uint32_t* end() const { return data_.get() + size_; }
  uint32_t& operator[](size_t i) { return data_.get()[i]; }

  // Sets the size to `size`, growing the capacity to exactly `size` if it is smaller.
  void resize(size_t size) {
    reserve(size);
    size_ = size;
  }
  // Grows the capacity to `capacity` if it is smaller; never shrinks.
  void reserve(size_t capacity) {
    if (capacity <= capacity_) return;
    void* grown = std::realloc(data_.get(), capacity * sizeof(uint32_t));
    if (grown == nullptr) throw std::bad_alloc();
    static_cast<void>(data_.release());  // realloc has taken the old block
    data_.reset(static_cast<uint32_t*>(grown));
    capacity_ = capacity;
  }

 private:
  struct Free {
    void operator()(uint32_t* p) const { std::free(p); }
  };
  std::unique_ptr<uint32_t, Free> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};
