#include "walk/distinct_walks.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace vantrel {
namespace {

// Walks whose hashes are equal but whose items differ are both kept: the
// hash only finds the walks to compare with.
TEST(DistinctWalks, EqualHashesAreComparedNotTrusted) {
  const std::vector<std::vector<int>> walks = {{1, 2}, {3}, {1, 2}, {3}, {4}};
  DistinctWalks seen;
  std::vector<bool> repeated;
  for (std::uint64_t k = 0; k < walks.size(); ++k) {
    repeated.push_back(seen.repeats(7, k, [&](std::uint64_t other) { return walks[other] == walks[k]; }));
  }
  EXPECT_EQ(repeated, (std::vector<bool>{false, false, true, true, false}));
  EXPECT_EQ(seen.size(), 3u);
}

TEST(DistinctWalks, GrowsPastItsFirstTable) {
  DistinctWalks seen;
  constexpr std::uint64_t kWalks = 100000;
  for (std::uint64_t k = 0; k < kWalks; ++k) {
    ASSERT_FALSE(seen.repeats(k * 0x9E3779B97F4A7C15ull, k, [](std::uint64_t) { return true; }));
  }
  for (std::uint64_t k = 0; k < kWalks; k += 997) {
    EXPECT_TRUE(seen.repeats(k * 0x9E3779B97F4A7C15ull, kWalks + k, [&](std::uint64_t other) { return other == k; }));
  }
  EXPECT_EQ(seen.size(), kWalks);
}

TEST(DistinctWalks, KeepDistinctMovesTheFirstOfEachDown) {
  const std::vector<std::uint32_t> tokens = {5, 6, 7, 5, 6, 7, 8, 5, 6, 7, 8, 9};
  const std::vector<std::uint64_t> ends = {0, 3, 6, 7, 7, 10, 11, 11, 12};
  WalkTokens<std::uint32_t> walks{ArrayRegion<std::uint32_t>::allocate(tokens.size()),
                                  ArrayRegion<std::uint64_t>::allocate(ends.size())};
  std::copy(tokens.begin(), tokens.end(), walks.tokens.mutable_data());
  std::copy(ends.begin(), ends.end(), walks.offsets.mutable_data());
  keep_distinct(walks, 2, {});
  // {5 6 7}, {5 6 7}, {8}, {}, {5 6 7}, {8}, {}, {9}: the first three kinds and {9}.
  EXPECT_EQ(std::vector<std::uint32_t>(walks.tokens.data(), walks.tokens.data() + walks.tokens.size()),
            (std::vector<std::uint32_t>{5, 6, 7, 8, 9}));
  EXPECT_EQ(std::vector<std::uint64_t>(walks.offsets.data(), walks.offsets.data() + walks.offsets.size()),
            (std::vector<std::uint64_t>{0, 3, 4, 4, 5}));
}

}  // namespace
}  // namespace vantrel
