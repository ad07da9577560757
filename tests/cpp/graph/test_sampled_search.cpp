#include "graph/sampled_search.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace vantrel {
namespace {

// Every span of a sorted array with long runs of equal values, searched for
// values below, inside and above it: the samples' search finds what
// std::partition_point finds, the first position not before the value.
TEST(SampledSearch, FindsWhatPartitionPointFinds) {
  constexpr std::uint64_t kStride = Temporal::kSampleStride;
  std::mt19937_64 rng(5);
  std::vector<std::int64_t> values(40 * kStride + 17);
  std::int64_t value = 0;
  for (std::int64_t& v : values) v = value += (rng() % 8 == 0 ? 1 + static_cast<std::int64_t>(rng() % 3) : 0);
  std::vector<std::int64_t> samples;
  for (std::uint64_t k = 0; k < values.size(); k += kStride) samples.push_back(values[k]);
  const auto address = [&](std::uint64_t at) { return &values[at]; };
  for (int trial = 0; trial < 3000; ++trial) {
    std::uint64_t from = rng() % values.size();
    std::uint64_t to = rng() % (values.size() + 1);
    if (from > to) std::swap(from, to);
    if (trial % 3 == 0) to = std::min<std::uint64_t>(values.size(), from + 4 * kStride + rng() % 3);
    const std::int64_t wanted = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(value + 3)) - 1;
    const auto before = [wanted](std::int64_t v) { return v < wanted; };
    const auto expected =
        static_cast<std::uint64_t>(std::partition_point(values.begin() + static_cast<std::ptrdiff_t>(from),
                                                        values.begin() + static_cast<std::ptrdiff_t>(to), before) -
                                   values.begin());
    ASSERT_EQ(first_sampled(samples.data(), from, to, address, before), expected) << from << " " << to << " " << wanted;
    std::uint64_t narrowed_from = from;
    std::uint64_t narrowed_to = to;
    narrow_by_samples(samples.data(), narrowed_from, narrowed_to, address, before);
    ASSERT_LE(narrowed_to - narrowed_from, to - from <= 4 * kStride ? to - from : kStride);
    ASSERT_EQ(bisect(narrowed_from, narrowed_to, address, before), expected);
  }
}

}  // namespace
}  // namespace vantrel
