#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

// The pair occurrence lists back to back: a growable array of node indices in one malloc block,
// resized with realloc. A block this large lives in its own mapping, which realloc grows by
// moving the mapping and shrinks by unmapping its tail, so a resize never copies the entries
// and never holds the old and the new array at once; a vector would, doubling peak memory.
// New entries are left uninitialised.
class PositionArray {
 public:
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  uint32_t* data() { return data_.get(); }
  const uint32_t* data() const { return data_.get(); }
  uint32_t* begin() { return data(); }
  uint32_t* end() { return data() + size_; }
  const uint32_t* begin() const { return data(); }
  const uint32_t* end() const { return data() + size_; }
  uint32_t& operator[](size_t i) { return data_.get()[i]; }
  uint32_t operator[](size_t i) const { return data_.get()[i]; }

  // Sets the size to `size`, growing the capacity to exactly `size` if it is smaller.
  void resize(size_t size) {
    if (size > capacity_) set_capacity(size);
    size_ = size;
  }
  // Sets the capacity to `capacity` (at least the size), growing or shrinking the block.
  void set_capacity(size_t capacity) {
    if (capacity == 0) {
      data_.reset();
    } else {
      void* grown = std::realloc(data_.get(), capacity * sizeof(uint32_t));
      if (grown == nullptr) throw std::bad_alloc();
      static_cast<void>(data_.release());  // realloc has taken the old block
      data_.reset(static_cast<uint32_t*>(grown));
    }
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
