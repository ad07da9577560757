#include "core/memory.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace vantrel {
namespace {

TEST(ArrayRegion, OwnedAdoptedAndViewedArraysReadAlike) {
  constexpr std::size_t kLarge = std::size_t{3} << 20;  // past the heap: a mapping of its own
  for (const std::size_t count : {std::size_t{0}, std::size_t{5}, kLarge}) {
    auto owned = ArrayRegion<std::uint64_t>::allocate(count);
    for (std::size_t i = 0; i < count; ++i) owned.mutable_data()[i] = i * 3;
    owned.shrink(count / 2);
    ASSERT_EQ(owned.size(), count / 2);
    for (std::size_t i = 0; i < owned.size(); ++i) ASSERT_EQ(owned[i], i * 3);
  }
  const auto adopted = ArrayRegion<int>::adopt(std::vector<int>{4, 5, 6});
  EXPECT_EQ(std::vector<int>(adopted.span().begin(), adopted.span().end()), (std::vector<int>{4, 5, 6}));
  auto keeper = std::make_shared<std::vector<int>>(std::vector<int>{7, 8});
  const auto view = ArrayRegion<int>::view(keeper->data(), 2, keeper);
  keeper.reset();  // the view keeps the vector alive
  EXPECT_EQ(view[1], 8);
}

TEST(EnsureFitsInMemory, RefusesWhatPhysicalMemoryCannotHold) {
  const std::uint64_t memory = physical_memory_bytes();
  EXPECT_GT(memory, 0u);
  EXPECT_NO_THROW(ensure_fits_in_memory(memory / 16 - 1, 8));
  EXPECT_THROW(ensure_fits_in_memory(memory / 8, 8), std::bad_alloc);
  EXPECT_THROW(ensure_fits_in_memory(UINT64_MAX, 1), std::bad_alloc);
  EXPECT_NO_THROW(ensure_fits_in_memory(UINT64_MAX, 0));
}

}  // namespace
}  // namespace vantrel
