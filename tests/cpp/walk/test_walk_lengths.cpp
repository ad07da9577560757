#include "walk/walk_lengths.hpp"

#include <gtest/gtest.h>

#include <new>
#include <vector>

#include "core/memory.hpp"

namespace vantrel {
namespace {

WalkRules rules_for(double mean, std::uint64_t cap, std::optional<std::uint64_t> fixed = std::nullopt) {
  return {Poisson::from_mean(mean), cap, key_from_seed(seed_from_random_state(5)), fixed};
}

TEST(WalkLengths, AreEachWalksFirstDrawsInOrder) {
  const WalkRules rules = rules_for(9.0, 20);
  // Groups of kStreamLanes computed at once, a short last group, and a request not starting at 0.
  for (const std::uint64_t first : {std::uint64_t{0}, std::uint64_t{1000}}) {
    std::vector<std::uint64_t> seen;
    for_each_walk_length(rules, first, 3, 3 + 2 * kStreamLanes + 5,
                         [&](std::uint64_t k, std::uint64_t path_len, const StdRng&) {
                           EXPECT_EQ(k, 3 + seen.size());
                           seen.push_back(path_len);
                         });
    ASSERT_EQ(seen.size(), 2 * kStreamLanes + 5);
    for (std::size_t i = 0; i < seen.size(); ++i) {
      StdRng alone = StdRng::from_first_blocks(rules.key, first + 3 + i + 1, nullptr, 0);
      EXPECT_EQ(seen[i], draw_path_len(rules, alone)) << i;
    }
  }
}

TEST(WalkLengths, RouteSizesAddItemsAndKeepTheLongest) {
  const WalkRules rules = rules_for(3.0, 7);
  RouteSizes expected;
  for_each_walk_length(rules, 40, 0, 100, [&](std::uint64_t, std::uint64_t path_len, const StdRng&) {
    expected.items += item_count(Items::kFull, path_len);
    expected.longest_steps = std::max(expected.longest_steps, path_len);
  });
  const RouteSizes drawn = drawn_route_sizes(rules, Items::kFull, 40, 100);
  EXPECT_EQ(drawn.items, expected.items);
  EXPECT_EQ(drawn.longest_steps, expected.longest_steps);
  EXPECT_EQ(longest_route_sizes(rules, Items::kFull, 100).items, 100 * item_count(Items::kFull, 7));
  // A fixed length is the only length: nothing is drawn.
  const RouteSizes fixed = drawn_route_sizes(rules_for(3.0, 7, 4), Items::kEdges, 0, 10);
  EXPECT_EQ(fixed.items, 40u);
  EXPECT_EQ(fixed.longest_steps, 4u);
  EXPECT_EQ(longest_route_sizes(rules, Items::kPath, 0).items, 0u);
}

TEST(WalkLengths, SizesPastSixtyFourBitsSaturateAndDoNotFit) {
  const RouteSizes huge = longest_route_sizes(rules_for(3.0, UINT64_MAX), Items::kEdges, 3);
  EXPECT_EQ(huge.items, UINT64_MAX);
  EXPECT_EQ((huge + RouteSizes{5, 1}).items, UINT64_MAX);
  EXPECT_FALSE(routes_fit(huge, 4, 1));
  EXPECT_FALSE(routes_fit({1, UINT64_MAX / 8}, 4, 1));  // one route's own record past memory
  EXPECT_FALSE(routes_fit({physical_memory_bytes() / 4, 1}, 4, 1));
  EXPECT_TRUE(routes_fit({1000, 100}, 4, 8));
}

TEST(WalkLengths, RoutesPastMemoryAreRefusedFromTheirDrawnLengths) {
  // Every walk is as long as its cap (2^62 steps): the longest possible walks are drawn ones.
  EXPECT_THROW(ensure_routes_fit(rules_for(1e300, std::uint64_t{1} << 62), Items::kNodes, 0, 2, 4, 2), std::bad_alloc);
  // Walks that may be 2^62 steps but are drawn short fit.
  EXPECT_NO_THROW(ensure_routes_fit(rules_for(2.0, std::uint64_t{1} << 62), Items::kNodes, 0, 1000, 4, 8));
  EXPECT_THROW(ensure_routes_fit(rules_for(2.0, 10, UINT64_MAX), Items::kPath, 0, 1, 4, 1), std::bad_alloc);
}

}  // namespace
}  // namespace vantrel
