// The pair heap: the best pair by count and key, across stale entries and rebuilds.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>

#include "common/pair_key.h"
#include "trainer/pair_heap.h"
#include "trainer/pair_stats.h"

namespace {

// Counts drop between pops and pairs below the floor stay out until a rebuild: every pop must
// still give the pair of highest count, the smaller key on ties, as a scan of all pairs does.
class PairHeapTest : public testing::TestWithParam<int64_t> {};

TEST_P(PairHeapTest, PopsWhatAScanPicksWhateverTheFloor) {
  std::mt19937 rng(11);
  PairStats stats;
  for (uint32_t key = 0; key < 300; ++key) stats[key * 7919].count = 1 + rng() % 12;
  PairHeap heap;
  heap.rebuild(stats, GetParam());
  for (;;) {
    std::optional<uint32_t> expected;
    int64_t best = 0;
    stats.for_each([&](uint32_t key, const PairInfo& info) {
      if (info.count > best || (info.count == best && info.count > 0 && key < *expected)) {
        best = info.count;
        expected = key;
      }
    });
    const std::optional<uint32_t> popped = heap.pop_best(stats);
    ASSERT_EQ(popped, expected);
    if (!popped) break;
    stats.find(*popped)->count = 0;  // merged
    // Lower a few others, as a merge does, without telling the heap.
    for (int i = 0; i < 3; ++i) {
      PairInfo* info = stats.find(static_cast<uint32_t>(rng() % 300) * 7919);
      info->count = std::max<int64_t>(0, info->count - static_cast<int64_t>(rng() % 4));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Floors, PairHeapTest, testing::Values(1, 3, 8, 100));

// Dead pairs leave the statistics map while the heap may still hold them: such an entry is
// stale and skipped, and the pair below it is still found.
TEST(PairHeapTest, EntryWithoutStatisticsIsSkipped) {
  PairStats stats;
  stats[pair_key(3, 4)].count = 2;
  PairHeap heap;
  heap.push(pair_key(1, 2), 5);  // its pair has left the map
  heap.push(pair_key(3, 4), 2);
  EXPECT_EQ(heap.pop_best(stats), pair_key(3, 4));
  stats[pair_key(3, 4)].count = 0;
  EXPECT_EQ(heap.pop_best(stats), std::nullopt);
}

}  // namespace
