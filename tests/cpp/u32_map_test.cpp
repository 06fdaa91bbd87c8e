#include "common/u32_map.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <unordered_map>

// Erasing in place re-inserts the survivors: every one must still be found with its value, the
// erased ones never, and inserting afterwards must work, at loads up to the 3/4 where probe runs
// are long and wrap around the table's end.
class U32MapEraseTest : public testing::TestWithParam<std::tuple<size_t, int>> {};

TEST_P(U32MapEraseTest, SurvivorsStayFoundAndErasedOnesAreGone) {
  const auto [entries, erase_one_in] = GetParam();
  std::mt19937 random(static_cast<uint32_t>(entries * 31 + erase_one_in));
  U32Map<uint64_t> map;
  std::unordered_map<uint32_t, uint64_t> expected;
  map[0xFFFFFFFF] = 7;  // the key kept aside
  expected[0xFFFFFFFF] = 7;
  while (expected.size() < entries) {
    const uint32_t key = random() % (entries * 4);
    map[key] = expected[key] = random();
  }
  const auto erased = [&](uint32_t key, uint64_t value) {
    return (key ^ value) % erase_one_in == 0;
  };
  map.erase_if(erased);
  std::erase_if(expected, [&](const auto& entry) { return erased(entry.first, entry.second); });
  EXPECT_EQ(map.size(), expected.size());
  for (uint32_t key = 0; key < entries * 4; ++key) {
    const uint64_t* found = map.find(key);
    const auto it = expected.find(key);
    ASSERT_EQ(found != nullptr, it != expected.end()) << key;
    if (found) {
      ASSERT_EQ(*found, it->second) << key;
    }
  }
  EXPECT_EQ(map.find(0xFFFFFFFF) != nullptr, expected.contains(0xFFFFFFFF));
  for (uint32_t key = 0; key < entries * 4; key += 3) map[key] += 1;  // the table still takes keys
  for (uint32_t key = 0; key < entries * 4; key += 3) {
    ASSERT_EQ(*map.find(key), (expected.contains(key) ? expected[key] : 0) + 1) << key;
  }
}

INSTANTIATE_TEST_SUITE_P(LoadsAndShares, U32MapEraseTest,
                         testing::Combine(testing::Values(11, 12, 95, 96, 3000, 98303),
                                          testing::Values(1, 2, 3, 7)));
