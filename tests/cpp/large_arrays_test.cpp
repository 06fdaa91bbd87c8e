#include "common/realloc_array.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

#include "common/system_memory.h"

// Growth by realloc must keep every live value, and a cleared array, whose next growth drops
// its old block, must take new values.
TEST(ReallocArrayTest, KeepsValuesThroughGrowthClearAndMove) {
  constexpr uint32_t kMany = 3 << 20;  // 12 MiB of values: past the mapping threshold
  ReallocArray<uint32_t> values;
  for (uint32_t i = 0; i < kMany; ++i) values.push_back(i * 7);
  for (uint32_t i = 0; i < kMany; i += 4099) ASSERT_EQ(values[i], i * 7);
  values.clear();
  values.reserve(2 * size_t{kMany});
  values.push_back(5);
  ReallocArray<uint32_t> moved = std::move(values);
  EXPECT_EQ(moved.size(), 1u);
  EXPECT_EQ(moved[0], 5u);
  EXPECT_EQ(values.size(), 0u);
  EXPECT_EQ(values.capacity(), 0u);
  // A size whose bytes overflow is refused before any allocation, not wrapped to a small block.
  EXPECT_THROW(moved.reserve(size_t{1} << 62), std::bad_array_new_length);
  EXPECT_EQ(moved[0], 5u);
}

TEST(HugePageAllocatorTest, LargeBlocksStartOnAHugePageAndSmallOnesWork) {
  HugeVector<uint16_t> large(kHugePage, 3);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(large.data()) % kHugePage, 0u);
  EXPECT_EQ(large[kHugePage - 1], 3);
  HugeVector<uint16_t> small{1, 2};
  small.push_back(3);
  EXPECT_EQ(small, (HugeVector<uint16_t>{1, 2, 3}));
  HugePageAllocator<uint64_t> allocator;
  EXPECT_THROW(static_cast<void>(allocator.allocate(size_t{1} << 62)), std::bad_array_new_length);
}
