#include "graph/far_blocks.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace vantrel {
namespace {

// Every value and every gap between values is found or not as in the
// sorted list, in both layouts and at every size around the change of
// layout; a tree's search that waits and goes on finds the same.
TEST(FarBlocks, EachLayoutFindsWhatTheSortedListHolds) {
  std::mt19937_64 random(5);
  for (const std::uint64_t size : {1u, 2u, 3u, 15u, 16u, 17u, 511u, 512u, 513u, 700u, 4097u}) {
    SCOPED_TRACE(size);
    std::vector<std::uint32_t> sorted(size);
    std::uint32_t value = 3;
    for (std::uint32_t& slot : sorted) slot = value += 2 + random() % 3;
    std::vector<std::uint32_t> index = sorted;
    std::vector<std::uint32_t> scratch;
    if (far_blocks_are_a_tree(size)) to_eytzinger_order(index.data(), size, scratch);
    for (std::uint64_t probe = 0; probe <= sorted.back() + 2; ++probe) {
      const bool held = std::binary_search(sorted.begin(), sorted.end(), probe);
      ASSERT_EQ(in_far_blocks(index.data(), size, probe), held) << probe;
      if (!far_blocks_are_a_tree(size)) continue;
      std::uint64_t slot = 1;
      Found found = Found::kNotYet;
      int turns = 0;
      for (; found == Found::kNotYet; ++turns) found = search_far_block_tree(index.data(), size, probe, slot, true);
      ASSERT_EQ(found == Found::kYes, held) << probe;
      EXPECT_LE(turns, 3);
    }
  }
}

TEST(FarBlocks, ATreeReadInOrderIsSorted) {
  for (const std::uint64_t size : {1u, 6u, 700u}) {
    std::vector<std::uint64_t> values(size);
    for (std::uint64_t k = 0; k < size; ++k) values[k] = 10 * k;
    std::vector<std::uint64_t> tree = values;
    std::vector<std::uint64_t> scratch;
    to_eytzinger_order(tree.data(), size, scratch);
    std::vector<std::uint64_t> in_order;
    auto visit = [&](auto&& self, std::uint64_t k) -> void {
      if (k > size) return;
      self(self, 2 * k);
      in_order.push_back(tree[k - 1]);
      self(self, 2 * k + 1);
    };
    visit(visit, 1);
    EXPECT_EQ(in_order, values) << size;
  }
}

}  // namespace
}  // namespace vantrel
