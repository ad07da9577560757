#include "random/chacha20.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace vantrel {
namespace {

// Published ChaCha20 keystream for the all-zero key and nonce (blocks 0 and 1).
constexpr std::uint32_t kZeroKeyBlock0[16] = {0xade0b876, 0x903df1a0, 0xe56a5d40, 0x28bd8653, 0xb819d2bd, 0x1aed8da0,
                                              0xccef36a8, 0xc70d778b, 0x7c5941da, 0x8d485751, 0x3fe02477, 0x374ad8b8,
                                              0xf4b8436a, 0x1ca11815, 0x69b687c3, 0x8665eeb2};
constexpr std::uint32_t kZeroKeyBlock1[16] = {0xbee7079f, 0x7a385155, 0x7c97ba98, 0x0d082d73, 0xa0290fcb, 0x6965e348,
                                              0x3e53c612, 0xed7aee32, 0x7621b729, 0x434ee69c, 0xb03371d5, 0xd539d874,
                                              0x281fed31, 0x45fb0a51, 0x1f0ae1ac, 0x6f4d794b};
// The same key with nonce bytes 00 .. 00 01 (little-endian words: stream 2^56), block 0.
constexpr std::uint32_t kNonceOneBlock0[15] = {0x7bba9cde, 0xf59ed6f3, 0x63dc86e7, 0x3a653f97, 0x15e0490b,
                                               0x13f7bfad, 0xf17dcb4f, 0x31108237, 0x02055ae8, 0x4508a778,
                                               0x734f2127, 0x5bfac7ef, 0x2e067752, 0x3e43a0b7, 0xe3415f44};

class Kernel : public ::testing::TestWithParam<ChaCha20Kernel> {
 protected:
  void SetUp() override {
    if (!GetParam().supported()) GTEST_SKIP() << "this CPU does not run the " << GetParam().name << " kernel";
  }
};

TEST_P(Kernel, GivesThePublishedKeystream) {
  const ChaCha20Kernel& kernel = GetParam();
  std::uint32_t eight[128], one[16];
  kernel.eight_blocks(Key{}, 0, 0, eight);
  for (int w = 0; w < 16; ++w) {
    EXPECT_EQ(eight[w], kZeroKeyBlock0[w]) << w;
    EXPECT_EQ(eight[16 + w], kZeroKeyBlock1[w]) << w;
  }
  kernel.one_block(Key{}, 1, 0, one);
  for (int w = 0; w < 16; ++w) EXPECT_EQ(one[w], kZeroKeyBlock1[w]) << w;
  kernel.one_block(Key{}, 0, std::uint64_t{1} << 56, one);
  for (int w = 0; w < 15; ++w) EXPECT_EQ(one[w], kNonceOneBlock0[w]) << w;
}

TEST_P(Kernel, AgreesWithThePortableKernelEverywhere) {
  // Random keys, counters across the 32-bit carry, streams across the wrap
  // past 2^64 - 1, and a stride that leaves words between blocks alone.
  const ChaCha20Kernel& kernel = GetParam();
  const ChaCha20Kernel& portable = chacha20_kernels()[0];
  std::mt19937_64 random(11);
  for (int round = 0; round < 200; ++round) {
    Key key;
    for (auto& word : key) word = static_cast<std::uint32_t>(random());
    const std::uint64_t counter = round % 3 == 0 ? (std::uint64_t{1} << 32) - 2 + round % 5 : random() % 8;
    const std::uint64_t stream = round % 4 == 0 ? UINT64_MAX - random() % 20 : random();
    std::uint32_t got[128], want[128];
    kernel.eight_blocks(key, counter, stream, got);
    portable.eight_blocks(key, counter, stream, want);
    ASSERT_EQ(std::vector(got, got + 128), std::vector(want, want + 128)) << round;
    kernel.one_block(key, counter, stream, got);
    portable.one_block(key, counter, stream, want);
    ASSERT_EQ(std::vector(got, got + 16), std::vector(want, want + 16)) << round;
    std::vector<std::uint32_t> streams(kStreamLanes * 20, 0xFFFFFFFF), expected = streams;
    kernel.stream_blocks(key, counter, stream, streams.data(), 20);
    portable.stream_blocks(key, counter, stream, expected.data(), 20);
    ASSERT_EQ(streams, expected) << round;
  }
}

TEST(ChaCha20, SixteenStreamsAreEachOneStreamsBlock) {
  const ChaCha20Kernel& portable = chacha20_kernels()[0];
  const Key key{1, 2, 3, 4, 5, 6, 7, 8};
  std::vector<std::uint32_t> out(kStreamLanes * 16);
  portable.stream_blocks(key, 3, UINT64_MAX - 5, out.data(), 16);
  for (std::size_t lane = 0; lane < kStreamLanes; ++lane) {
    const auto block = chacha20_block(key, 3, UINT64_MAX - 5 + lane);
    ASSERT_EQ(std::vector(out.begin() + 16 * lane, out.begin() + 16 * (lane + 1)),
              std::vector(block.begin(), block.end()))
        << lane;
  }
}

TEST(ChaCha20, TheKernelInUseIsTheLastTheCpuRunsOrTheOneAskedFor) {
  const char* asked = std::getenv("VANTREL_CHACHA20_KERNEL");
  std::string best;
  bool runs_asked = false;
  for (const ChaCha20Kernel& kernel : chacha20_kernels()) {
    if (kernel.supported()) best = kernel.name;
    runs_asked = runs_asked || (asked && std::string(asked) == kernel.name && kernel.supported());
  }
  if (asked && !runs_asked) GTEST_SKIP() << "the kernel asked for does not run on this CPU";
  EXPECT_EQ(chacha20_kernel().name, asked ? std::string(asked) : best);
}

INSTANTIATE_TEST_SUITE_P(EveryKernel, Kernel, ::testing::ValuesIn(chacha20_kernels().begin(), chacha20_kernels().end()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vantrel
