#pragma once

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
