#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>

// How the core asks the system for memory pages and gives them back.

// Large tables that are read at random (the pair statistics, the node array, the word index)
// miss the TLB on nearly every access with 4 KiB pages, and fault in one page per 4 KiB as
// they fill. Backed by 2 MiB pages they do neither: merging code and text without spaces runs
// about a tenth faster. The kernel honours the request only where it may (Linux with
// transparent huge pages in "madvise" or "always" mode); elsewhere it changes nothing.

inline constexpr size_t kHugePage = size_t{2} << 20;

// `bytes` (or an address) rounded down and up to a whole number of huge pages.
constexpr size_t huge_pages_below(size_t bytes) {
  return bytes / kHugePage * kHugePage;
}
constexpr size_t huge_pages_above(size_t bytes) {
  return huge_pages_below(bytes + kHugePage - 1);
}

// Asks for huge pages over the whole 2 MiB pages that lie within [data, data + bytes). Pages
// touched before the call keep their size. Never fails.
void advise_huge_pages(void* data, size_t bytes) noexcept;

// Allocator for the large tables: a block of at least one huge page is aligned to one, and
// advised before anything touches it; smaller blocks are allocated as usual. Both go through
// operator new, so that a replaced operator new (a test's failing one) sees them too.
template <class T>
struct HugePageAllocator {
  using value_type = T;
  HugePageAllocator() = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

  T* allocate(size_t n) {
    if (n > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    const size_t bytes = n * sizeof(T);
    if (bytes < kHugePage) return static_cast<T*>(::operator new(bytes));
    void* block = ::operator new(huge_pages_above(bytes), std::align_val_t{kHugePage});
    advise_huge_pages(block, huge_pages_above(bytes));
    return static_cast<T*>(block);
  }
  void deallocate(T* block, size_t n) noexcept {
    if (n * sizeof(T) < kHugePage) {
      ::operator delete(block);
    } else {
      ::operator delete(block, std::align_val_t{kHugePage});
    }
  }

  template <class U>
  bool operator==(const HugePageAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using HugeVector = std::vector<T, HugePageAllocator<T>>;

// Returns the free memory of the C allocator's heaps to the system when the guard leaves scope.
// Training frees hundreds of megabytes in blocks below the allocator's mmap threshold; without
// this, glibc keeps them mapped (tens of megabytes after a 100 MB corpus) for the life of the
// process. Other C libraries give large blocks back on their own: there it does nothing.
class ReturnFreeMemoryOnExit {
 public:
  ReturnFreeMemoryOnExit() = default;
  ReturnFreeMemoryOnExit(const ReturnFreeMemoryOnExit&) = delete;
  ReturnFreeMemoryOnExit& operator=(const ReturnFreeMemoryOnExit&) = delete;
  ~ReturnFreeMemoryOnExit();
};
