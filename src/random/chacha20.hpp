// The ChaCha20 block function (20 rounds, 64-bit block counter, 64-bit
// nonce), in kernels that compute the same words with the instructions of
// one CPU level each: portable C++ for any target, 128-bit vectors (SSE2 on
// x86-64, NEON on AArch64), AVX2 and AVX-512. The best kernel the CPU runs
// is chosen at first use.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace vantrel {

// A ChaCha20 key: eight little-endian words.
using Key = std::array<std::uint32_t, 8>;

// How many streams a kernel's stream_blocks computes at once.
inline constexpr std::size_t kStreamLanes = 16;

// One kernel: the three shapes of work a generator asks for.
struct ChaCha20Kernel {
  const char* name;
  // Whether this CPU can run the kernel.
  bool (*supported)();
  // Blocks counter to counter + 7 of `stream` (the nonce), written block
  // after block into `out` (128 words): a generator's refill.
  void (*eight_blocks)(const Key& key, std::uint64_t counter, std::uint64_t stream, std::uint32_t* out);
  // Block `counter` of `stream` alone, into `out` (16 words).
  void (*one_block)(const Key& key, std::uint64_t counter, std::uint64_t stream, std::uint32_t* out);
  // Block `counter` of the kStreamLanes streams first_stream, first_stream
  // + 1, ... (wrapping past 2^64 - 1): the 16 words of stream
  // first_stream + b go to out + b × stride.
  void (*stream_blocks)(const Key& key, std::uint64_t counter, std::uint64_t first_stream, std::uint32_t* out,
                        std::size_t stride);
};

// Every kernel built for this target, the portable one first and the
// fastest last, whether or not this CPU runs it.
std::span<const ChaCha20Kernel> chacha20_kernels();

// The kernel in use: the last of chacha20_kernels() that this CPU runs,
// chosen once, at the first use; or the one that the environment variable
// VANTREL_CHACHA20_KERNEL names, which the tests and benchmarks set to run
// every kernel on one machine.
const ChaCha20Kernel& chacha20_kernel();

// The kernel that VANTREL_CHACHA20_KERNEL names, or null when it is not set;
// throws std::invalid_argument, saying what this CPU runs, when it names
// no kernel this CPU can run.
const ChaCha20Kernel* kernel_from_environment();

// The 16 output words of block `counter` of `stream` for `key`, from the
// kernel in use.
std::array<std::uint32_t, 16> chacha20_block(const Key& key, std::uint64_t counter, std::uint64_t stream = 0);

// stream_blocks() of the kernel in use.
inline void chacha20_stream_blocks(const Key& key, std::uint64_t counter, std::uint64_t first_stream,
                                   std::uint32_t* out, std::size_t stride = 16) {
  chacha20_kernel().stream_blocks(key, counter, first_stream, out, stride);
}

}  // namespace vantrel
