#include "graph/labels.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace vantrel {
namespace {

TEST(SameLabel, EveryLengthAndEveryDifferingPosition) {
  for (std::size_t n = 0; n <= 40; ++n) {
    const std::string a(n, 'x');
    EXPECT_TRUE(same_label(a, std::string(n, 'x'))) << n;
    EXPECT_FALSE(same_label(a, std::string(n + 1, 'x'))) << n;
    for (std::size_t k = 0; k < n; ++k) {
      std::string b = a;
      b[k] = 'y';
      EXPECT_FALSE(same_label(a, b)) << n << " " << k;
    }
  }
}

// Labels of every length around the 16 bytes a slot holds, and some that
// differ only after them.
std::string nth_label(std::uint32_t i) {
  std::string label = "label-" + std::to_string(i);
  label.resize(i % 40, static_cast<char>('a' + i % 7));
  if (i % 3 == 0) label = std::string(20, 'p') + std::to_string(i);
  return label + "#" + std::to_string(i);
}

template <class Table>
void expect_interning_across_growth() {
  Table table;
  for (int round = 0; round < 2; ++round) {
    for (std::uint32_t i = 0; i < 5000; ++i) ASSERT_EQ(table.intern(nth_label(i)), i) << i;
  }
  EXPECT_EQ(table.size(), 5000u);
}

TEST(LabelTable, InternsManyLabelsAcrossGrowth) {
  expect_interning_across_growth<LabelTable<std::uint32_t>>();
  expect_interning_across_growth<LabelTable<std::uint64_t>>();
  // Growth past the hash bits that a slot keeps, as tables above 2^24 slots do.
  expect_interning_across_growth<LabelTable<std::uint32_t, 6>>();
}

TEST(LabelArena, FreezesIntoTheSameLabels) {
  LabelArena arena;
  const std::string texts[] = {"", "Rhine", "Kraków", "North Sea"};
  for (const std::string& text : texts) arena.append(text);
  const LabelList list = std::move(arena).freeze();
  ASSERT_EQ(list.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(list[i], texts[i]);
    EXPECT_EQ(list.is_ascii_label(i), i != 2);
  }
}

}  // namespace
}  // namespace vantrel
