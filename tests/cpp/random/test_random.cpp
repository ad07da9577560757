#include "random/random.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace vantrel {
namespace {

StdRng rng_for(std::uint64_t random_state) { return StdRng::from_seed(seed_from_random_state(random_state)); }

TEST(Seed, BigEndianStateThenZeros) {
  const Seed one = seed_from_random_state(1);
  for (std::size_t i = 0; i < one.size(); ++i) EXPECT_EQ(one[i], i == 7 ? 1 : 0) << i;
  const Seed all = seed_from_random_state(UINT64_MAX);
  for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i], i < 8 ? 255 : 0) << i;
}

TEST(StdRng, PrecomputedFirstBlocksGiveTheStreamsDraws) {
  const Seed seed = seed_from_random_state(99);
  const Key key = key_from_seed(seed);
  const std::uint64_t stream = 12345;
  std::uint32_t words[4 * 16];
  for (std::uint64_t b = 0; b < 4; ++b) {
    const auto block = chacha20_block(key, b, stream);
    std::copy(block.begin(), block.end(), words + 16 * b);
  }
  for (std::size_t blocks = 0; blocks <= 4; ++blocks) {
    StdRng expected = StdRng::from_seed(seed, stream);
    StdRng given = StdRng::from_first_blocks(key, stream, words, blocks);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(given.next_u64(), expected.next_u64()) << blocks << " " << i;
    EXPECT_EQ(given.draws_made(), 100u);
    given.restart(stream, words, blocks);
    EXPECT_EQ(given.draws_made(), 0u);
    EXPECT_EQ(given.next_u64(), StdRng::from_seed(seed, stream).next_u64());
  }
}

TEST(StdRng, FirstDrawOfZeroSeedIsBlockZeroLowWordFirst) {
  // Words 0 to 3 of the published keystream block 0 of the all-zero key.
  constexpr std::uint32_t kZeroKeyBlock0[4] = {0xade0b876, 0x903df1a0, 0xe56a5d40, 0x28bd8653};
  StdRng rng = rng_for(0);
  EXPECT_EQ(rng.draws_made(), 0u);
  EXPECT_EQ(rng.block_counter(), 0u);
  EXPECT_EQ(rng.next_u64(), (std::uint64_t{kZeroKeyBlock0[1]} << 32) | kZeroKeyBlock0[0]);
  EXPECT_EQ(rng.draws_made(), 1u);
  EXPECT_EQ(rng.block_counter(), 8u);
  EXPECT_EQ(rng.next_u64(), (std::uint64_t{kZeroKeyBlock0[3]} << 32) | kZeroKeyBlock0[2]);
}

TEST(StdRng, FourBlocksPerRefillInBlockOrder) {
  StdRng rng = rng_for(0);
  const std::array<std::uint32_t, 8> zero_key{};
  std::vector<std::uint64_t> draws;
  for (int i = 0; i < 34; ++i) draws.push_back(rng.next_u64());
  for (int k = 0; k < 34; ++k) {
    const auto block = chacha20_block(zero_key, static_cast<std::uint64_t>(k / 8));
    const int word = 2 * (k % 8);
    EXPECT_EQ(draws[k], (std::uint64_t{block[word + 1]} << 32) | block[word]) << k;
  }
  EXPECT_EQ(rng.block_counter(), 8u);
}

TEST(StdRng, KeyWordsComeFromSeedLittleEndian) {
  // random_state 1: seed byte 7 is 1, so key word 5 is 0x01000000.
  std::array<std::uint32_t, 8> key{};
  key[1] = 0x01000000;
  StdRng rng = rng_for(1);
  const auto block = chacha20_block(key, 0);
  EXPECT_EQ(rng.next_u64(), (std::uint64_t{block[1]} << 32) | block[0]);
}

TEST(UnitDraw, Boundaries) {
  EXPECT_EQ(unit_from_u64(std::uint64_t{1} << 63), 0.5);
  EXPECT_EQ(unit_from_u64(0), 0.0);
  EXPECT_EQ(unit_from_u64((std::uint64_t{1} << 11) - 1), 0.0);
  EXPECT_EQ(unit_from_u64(std::uint64_t{1} << 11), 0x1.0p-53);
  EXPECT_EQ(unit_from_u64(UINT64_MAX), 0.9999999999999999);
  EXPECT_LT(unit_from_u64(UINT64_MAX), 1.0);
}

struct BoundedCase {
  std::uint64_t value;
  std::uint64_t range;
  bool accepted;
  std::uint64_t result;
};

class BoundedDraw : public ::testing::TestWithParam<BoundedCase> {};

TEST_P(BoundedDraw, ConservativeZone) {
  const BoundedCase c = GetParam();
  std::uint64_t result = 12345;
  EXPECT_EQ(bounded_from_u64(c.value, c.range, result), c.accepted);
  if (c.accepted) {
    EXPECT_EQ(result, c.result);
  }
}

constexpr std::uint64_t kTop = std::uint64_t{1} << 63;
INSTANTIATE_TEST_SUITE_P(Boundaries, BoundedDraw,
                         ::testing::Values(BoundedCase{0, 1, true, 0}, BoundedCase{kTop - 1, 1, true, 0},
                                           BoundedCase{kTop, 1, false, 0}, BoundedCase{UINT64_MAX, 1, false, 0},
                                           BoundedCase{kTop, 3, true, 1}, BoundedCase{UINT64_MAX, 3, false, 0},
                                           BoundedCase{std::uint64_t{1} << 62, 4, true, 1},
                                           BoundedCase{std::uint64_t{1} << 61, 4, false, 0},
                                           BoundedCase{(std::uint64_t{1} << 61) - 1, 4, true, 0},
                                           BoundedCase{UINT64_MAX, UINT64_MAX, true, UINT64_MAX - 1},
                                           BoundedCase{0, UINT64_MAX, true, 0}));

TEST(GenRange, EmptyRangeFailsWithoutDrawing) {
  StdRng rng = rng_for(7);
  try {
    rng.gen_range(5, 5);
    FAIL() << "no exception";
  } catch (const EmptyRangeError& error) {
    EXPECT_STREQ(error.what(), "UniformSampler::sample_single: low >= high");
  }
  EXPECT_THROW(rng.gen_range(6, 5), EmptyRangeError);
  EXPECT_EQ(rng.draws_made(), 0u);
  EXPECT_EQ(rng.block_counter(), 0u);
}

TEST(GenRange, RangeOfOneStillDrawsUntilBelowHalf) {
  StdRng rng = rng_for(3);
  StdRng mirror = rng_for(3);
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(rng.gen_range(9, 10), 9u);
    std::uint64_t v;
    do v = mirror.next_u64();
    while (v >= kTop);
    EXPECT_EQ(rng.next_u64(), mirror.next_u64());
  }
}

TEST(GenRange, SequenceForSeedOne) {
  StdRng rng = rng_for(1);
  const std::uint64_t expected[] = {4, 1, 9, 3, 7, 7, 4, 3, 3, 5};
  for (std::uint64_t e : expected) EXPECT_EQ(rng.gen_range(0, 10), e);
}

TEST(LogGamma, LanczosValues) {
  EXPECT_EQ(log_gamma(1.0), 0.0);
  EXPECT_EQ(log_gamma(2.0), -4.440892098500626e-16);
  EXPECT_EQ(log_gamma(3.0), 0.6931471805599443);
  EXPECT_EQ(log_gamma(10.0), 12.801827480081961);
}

TEST(Cauchy, TangentOfPiTimesUnit) {
  StdRng rng = rng_for(11);
  StdRng mirror = rng_for(11);
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(sample_cauchy(0.0, 1.0, rng), std::tan(3.141592653589793 * mirror.next_unit()));
  }
}

TEST(Poisson, RejectsMeansNotAboveZero) {
  for (double mean :
       {0.0, -0.0, -1.0, -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
    try {
      Poisson::from_mean(mean);
      FAIL() << mean;
    } catch (const ShapeTooSmallError& error) {
      EXPECT_STREQ(error.what(), "called `Result::unwrap()` on an `Err` value: ShapeTooSmall");
    }
  }
}

TEST(Poisson, RefusesMeansWhoseDrawCouldNeverFinish) {
  EXPECT_THROW(Poisson::from_mean(std::numeric_limits<double>::infinity()), MeanTooLargeError);
  EXPECT_THROW(Poisson::from_mean(2.5564e305), MeanTooLargeError);
  EXPECT_THROW(Poisson::from_mean(std::numeric_limits<double>::max()), MeanTooLargeError);
  EXPECT_NO_THROW(Poisson::from_mean(2.5562e305));
  StdRng rng = rng_for(0);
  const Poisson huge = Poisson::from_mean(1e300);
  const double v = huge.sample(rng);
  EXPECT_EQ(v, std::floor(v));
  EXPECT_GE(v, 0.0);
}

TEST(Poisson, DerivedConstants) {
  const Poisson one = Poisson::from_mean(1.0);
  EXPECT_EQ(one.lambda(), 1.0);
  EXPECT_EQ(one.exp_lambda(), 0.36787944117144233);
  EXPECT_EQ(one.log_lambda(), 0.0);
  EXPECT_EQ(one.sqrt_2lambda(), 1.4142135623730951);
  EXPECT_EQ(one.magic_val(), 4.440892098500626e-16);
  const Poisson twelve = Poisson::from_mean(12.0);
  EXPECT_EQ(twelve.exp_lambda(), 6.14421235332821e-06);
  EXPECT_EQ(twelve.log_lambda(), 2.4849066497880004);
  EXPECT_EQ(twelve.sqrt_2lambda(), 4.898979485566356);
  EXPECT_EQ(twelve.magic_val(), 9.83166530179205);
}

struct PoissonSequence {
  double mean;
  std::vector<double> draws;
};

class PoissonSeedOne : public ::testing::TestWithParam<PoissonSequence> {};

TEST_P(PoissonSeedOne, FirstTenDraws) {
  StdRng rng = rng_for(1);
  const Poisson poisson = Poisson::from_mean(GetParam().mean);
  for (double expected : GetParam().draws) EXPECT_EQ(poisson.sample(rng), expected);
}

INSTANTIATE_TEST_SUITE_P(PublishedVectors, PoissonSeedOne,
                         ::testing::Values(PoissonSequence{3.7, {3, 5, 4, 6, 2, 4, 5, 4, 6, 6}},
                                           PoissonSequence{20.0, {18, 13, 12, 24, 14, 17, 22, 24, 31, 16}}));

// Each side of the switch between the two methods, seed 5: the draws, and
// the next 64-bit value after them, which pins how many values they took.
// From tests/exact_port.py, a port of the draws written apart from this code.
struct PoissonSwitch {
  double mean;
  std::vector<double> draws;
  std::uint64_t next;
};

class PoissonMethods : public ::testing::TestWithParam<PoissonSwitch> {};

TEST_P(PoissonMethods, DrawsAndTheValuesTheyTake) {
  const Poisson poisson = Poisson::from_mean(GetParam().mean);
  StdRng rng = rng_for(5);
  for (double expected : GetParam().draws) EXPECT_EQ(poisson.sample(rng), expected);
  EXPECT_EQ(rng.next_u64(), GetParam().next);
}

INSTANTIATE_TEST_SUITE_P(
    BelowAndFromTwelve, PoissonMethods,
    ::testing::Values(
        PoissonSwitch{11.999999999999998, {14, 16, 10, 7, 14, 10, 10, 18, 11, 17, 13, 7}, 14071283813656524443u},
        PoissonSwitch{12.0, {14, 17, 8, 19, 11, 11, 10, 13, 14, 11, 12, 8}, 13494840035437606524u}));

TEST(Poisson, TinyMeanGivesMinusOneWithoutDrawing) {
  StdRng rng = rng_for(2);
  const Poisson tiny = Poisson::from_mean(0x1.0p-54);
  EXPECT_EQ(tiny.exp_lambda(), 1.0);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(tiny.sample(rng), -1.0);
  EXPECT_EQ(rng.draws_made(), 0u);
  const Poisson just_above = Poisson::from_mean(0x1.0p-53);
  EXPECT_EQ(just_above.exp_lambda(), 1.0 - 0x1.0p-53);
  EXPECT_EQ(just_above.sample(rng), 0.0);
  EXPECT_EQ(rng.draws_made(), 1u);
}

struct PathLenCase {
  double v;
  std::uint64_t max_path_len;
  std::uint64_t expected;
};

class PathLen : public ::testing::TestWithParam<PathLenCase> {};

TEST_P(PathLen, PlusOneTruncatedSaturatedCapped) {
  EXPECT_EQ(path_len_from_draw(GetParam().v, GetParam().max_path_len), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, PathLen,
                         ::testing::Values(PathLenCase{-1.0, 10, 0}, PathLenCase{0.0, 10, 1}, PathLenCase{0.0, 0, 0},
                                           PathLenCase{9.0, 10, 10}, PathLenCase{10.0, 10, 10},
                                           PathLenCase{4.0, UINT64_MAX, 5},
                                           PathLenCase{0x1.0p63, UINT64_MAX, std::uint64_t{1} << 63},
                                           PathLenCase{0x1.fffffffffffffp63, UINT64_MAX, 0xFFFFFFFFFFFFF800ull},
                                           PathLenCase{0x1.0p64, UINT64_MAX, UINT64_MAX},
                                           PathLenCase{1e300, UINT64_MAX, UINT64_MAX}, PathLenCase{1e300, 7, 7}));

}  // namespace
}  // namespace vantrel
