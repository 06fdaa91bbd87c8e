#include "common/system_memory.h"

#include <cstdint>
#include <cstdlib>  // defines __GLIBC__ on glibc

#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(__GLIBC__)
#include <malloc.h>
#endif

void advise_huge_pages(void* data, size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const auto start = reinterpret_cast<uintptr_t>(data);
  const uintptr_t first = huge_pages_above(start);
  const uintptr_t last = huge_pages_below(start + bytes);
  // A refusal (no transparent huge pages here) only leaves the pages as they are.
  if (first < last)
    static_cast<void>(madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE));
#else
  static_cast<void>(data);
  static_cast<void>(bytes);
#endif
}

ReturnFreeMemoryOnExit::~ReturnFreeMemoryOnExit() {
#if defined(__GLIBC__)
  // Trims the top of every arena and gives back the whole free pages inside them: a few
  // milliseconds for the heap a training leaves.
  malloc_trim(0);
#endif
}
