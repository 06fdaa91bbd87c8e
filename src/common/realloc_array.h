#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

// A growable array of trivially copyable values in one malloc block, grown with realloc. A
// block past the allocator's mapping threshold lives in its own mapping, which realloc grows by
// moving the mapping: growing never copies the values, never faults their pages in a second
// time and never holds the old and the new array at once, as a vector's growth does. New
// values are left uninitialised.
template <class T>
class ReallocArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  ReallocArray() = default;
  ReallocArray(ReallocArray&& other) noexcept { *this = std::move(other); }
  ReallocArray& operator=(ReallocArray&& other) noexcept {
    data_ = std::move(other.data_);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    return *this;
  }

  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  T* data() { return data_.get(); }
  const T* data() const { return data_.get(); }
  const T* begin() const { return data_.get(); }
  const T* end() const { return data_.get() + size_; }
  T& operator[](size_t i) { return data_.get()[i]; }
  const T& operator[](size_t i) const { return data_.get()[i]; }

  // Sets the size to `size`, growing the capacity to exactly `size` if it is smaller.
  void resize(size_t size) {
    reserve(size);
    size_ = size;
  }
  // Grows the capacity to `capacity` if it is smaller; never shrinks.
  void reserve(size_t capacity) {
    if (capacity <= capacity_) return;
    if (capacity > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    if (size_ == 0) {  // nothing to keep: realloc would copy the dead values
      data_.reset();
      capacity_ = 0;  // still true if the allocation below fails
    }
    void* grown = std::realloc(data_.get(), capacity * sizeof(T));
    if (grown == nullptr) throw std::bad_alloc();
    static_cast<void>(data_.release());  // realloc has taken the old block, if any
    data_.reset(static_cast<T*>(grown));
    capacity_ = capacity;
  }
  // Appends `value`, doubling the capacity when it is full.
  void push_back(const T& value) {
    if (size_ == capacity_) reserve(capacity_ < 16 ? 16 : capacity_ * 2);
    data_.get()[size_++] = value;
  }
  // Empties the array and keeps its capacity.
  void clear() { size_ = 0; }

 private:
  struct Free {
    void operator()(T* p) const { std::free(p); }
  };
  std::unique_ptr<T, Free> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};
