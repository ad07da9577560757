#include "random/chacha20.hpp"

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace vantrel {

namespace {

constexpr std::array<std::uint32_t, 4> kSigma = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};

// Lane vectors of the compiler's generic vector extension, built for
// whatever vector unit the function that uses them targets. Lane b computes
// one block. The portable kernel uses plain words (Lanes1).
using Lanes1 = std::uint32_t;
using Lanes4 = std::uint32_t __attribute__((vector_size(16)));
using Lanes8 = std::uint32_t __attribute__((vector_size(32)));
using Lanes16 = std::uint32_t __attribute__((vector_size(64)));

// The building blocks are forced inline, so that each kernel compiles them
// with its own target's instructions. Lanes wider than the baseline's
// vector registers are never passed by value.
#define VANTREL_KERNEL inline __attribute__((always_inline))

template <class Lanes>
VANTREL_KERNEL void rotate_left(Lanes& v, int bits) {
  v = (v << bits) | (v >> (32 - bits));
}

template <class Lanes>
VANTREL_KERNEL void quarter_round(Lanes& a, Lanes& b, Lanes& c, Lanes& d) {
  // clang-format off: the four lines of the quarter round, as it is written down.
  a += b; d ^= a; rotate_left(d, 16);
  c += d; b ^= c; rotate_left(b, 12);
  a += b; d ^= a; rotate_left(d, 8);
  c += d; b ^= c; rotate_left(b, 7);
  // clang-format on
}

// The ChaCha20 block function on every lane of `input` at once, into `x`:
// ten double rounds (columns, then diagonals), then the input added back.
template <class Lanes>
VANTREL_KERNEL void chacha20_rounds(const Lanes (&input)[16], Lanes (&x)[16]) {
  for (int w = 0; w < 16; ++w) x[w] = input[w];
  for (int round = 0; round < 10; ++round) {
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
  }
  for (int w = 0; w < 16; ++w) x[w] += input[w];
}

// The input words that every lane shares: constants and key.
template <class Lanes>
VANTREL_KERNEL void fill_constants_and_key(const Key& key, Lanes (&input)[16]) {
  for (int w = 0; w < 4; ++w) input[w] = Lanes{} + kSigma[w];
  for (int w = 0; w < 8; ++w) input[4 + w] = Lanes{} + key[w];
}

// ---------------------------------------------------------------------------
// The portable kernel: one block at a time, in plain words.

VANTREL_KERNEL void portable_block(const Key& key, std::uint64_t counter, std::uint64_t stream, std::uint32_t* out) {
  Lanes1 input[16];
  fill_constants_and_key(key, input);
  input[12] = static_cast<std::uint32_t>(counter);
  input[13] = static_cast<std::uint32_t>(counter >> 32);
  input[14] = static_cast<std::uint32_t>(stream);
  input[15] = static_cast<std::uint32_t>(stream >> 32);
  Lanes1 x[16];
  chacha20_rounds(input, x);
  std::memcpy(out, x, sizeof x);
}

void portable_eight_blocks(const Key& key, std::uint64_t counter, std::uint64_t stream, std::uint32_t* out) {
  for (int b = 0; b < 8; ++b) portable_block(key, counter + static_cast<std::uint64_t>(b), stream, out + 16 * b);
}

void portable_one_block(const Key& key, std::uint64_t counter, std::uint64_t stream, std::uint32_t* out) {
  portable_block(key, counter, stream, out);
}

void portable_stream_blocks(const Key& key, std::uint64_t counter, std::uint64_t first_stream, std::uint32_t* out,
                            std::size_t stride) {
  for (std::size_t b = 0; b < kStreamLanes; ++b) portable_block(key, counter, first_stream + b, out + b * stride);
}

// ---------------------------------------------------------------------------
// The vector kernels' parts.

// Transposes four lane vectors in place: afterwards v[b] holds lane b of the
// four inputs, in input order.
VANTREL_KERNEL void transpose4(Lanes4& v0, Lanes4& v1, Lanes4& v2, Lanes4& v3) {
  const Lanes4 t0 = __builtin_shufflevector(v0, v1, 0, 4, 1, 5);
  const Lanes4 t1 = __builtin_shufflevector(v0, v1, 2, 6, 3, 7);
  const Lanes4 t2 = __builtin_shufflevector(v2, v3, 0, 4, 1, 5);
  const Lanes4 t3 = __builtin_shufflevector(v2, v3, 2, 6, 3, 7);
  v0 = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
  v1 = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
  v2 = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
  v3 = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// Block `counter` of `stream` alone, the state's rows in four vectors:
// columns, then diagonals by rotating rows 1 to 3. For a generator that needs
// one more block.
VANTREL_KERNEL void one_block_in_rows(const Key& key, std::uint64_t counter, std::uint64_t stream, std::uint32_t* out) {
  const Lanes4 input[4] = {
      Lanes4{kSigma[0], kSigma[1], kSigma[2], kSigma[3]},
      Lanes4{key[0], key[1], key[2], key[3]},
      Lanes4{key[4], key[5], key[6], key[7]},
      Lanes4{static_cast<std::uint32_t>(counter), static_cast<std::uint32_t>(counter >> 32),
             static_cast<std::uint32_t>(stream), static_cast<std::uint32_t>(stream >> 32)},
  };
  Lanes4 a = input[0], b = input[1], c = input[2], d = input[3];
  for (int round = 0; round < 10; ++round) {
    quarter_round(a, b, c, d);
    b = __builtin_shufflevector(b, b, 1, 2, 3, 0);
    c = __builtin_shufflevector(c, c, 2, 3, 0, 1);
    d = __builtin_shufflevector(d, d, 3, 0, 1, 2);
    quarter_round(a, b, c, d);
    b = __builtin_shufflevector(b, b, 3, 0, 1, 2);
    c = __builtin_shufflevector(c, c, 2, 3, 0, 1);
    d = __builtin_shufflevector(d, d, 1, 2, 3, 0);
  }
  a += input[0];
  b += input[1];
  c += input[2];
  d += input[3];
  std::memcpy(out, &a, sizeof a);
  std::memcpy(out + 4, &b, sizeof b);
  std::memcpy(out + 8, &c, sizeof c);
  std::memcpy(out + 12, &d, sizeof d);
}

// One block per lane, where Lanes holds `lanes` words: lane b computes
// block counter + b × counter_step of stream first_stream + b × stream_step
// (one stream's consecutive blocks, or one block of consecutive streams),
// and its words go to out + b × stride.
template <class Lanes>
VANTREL_KERNEL void blocks_in_lanes(const Key& key, std::uint64_t counter, std::uint64_t counter_step,
                                    std::uint64_t first_stream, std::uint64_t stream_step, std::uint32_t* out,
                                    std::size_t stride) {
  constexpr int kLanes = sizeof(Lanes) / sizeof(std::uint32_t);
  Lanes input[16];
  fill_constants_and_key(key, input);
  // Each lane's counter and stream, in two words each.
  std::uint32_t words[4][kLanes];
  for (int b = 0; b < kLanes; ++b) {
    const std::uint64_t lane_counter = counter + static_cast<std::uint64_t>(b) * counter_step;
    const std::uint64_t stream = first_stream + static_cast<std::uint64_t>(b) * stream_step;
    words[0][b] = static_cast<std::uint32_t>(lane_counter);
    words[1][b] = static_cast<std::uint32_t>(lane_counter >> 32);
    words[2][b] = static_cast<std::uint32_t>(stream);
    words[3][b] = static_cast<std::uint32_t>(stream >> 32);
  }
  std::memcpy(&input[12], words, sizeof words);
  Lanes x[16];
  chacha20_rounds(input, x);
  // Lane b is one block: transpose four words of four lanes at a time so
  // that each block's words are contiguous.
  for (int w = 0; w < 16; w += 4) {
    for (int quarter = 0; quarter < kLanes / 4; ++quarter) {
      Lanes4 v[4];
      for (int i = 0; i < 4; ++i) {
        std::memcpy(&v[i], reinterpret_cast<const std::uint32_t*>(&x[w + i]) + 4 * quarter, sizeof(Lanes4));
      }
      transpose4(v[0], v[1], v[2], v[3]);
      for (int b = 0; b < 4; ++b) std::memcpy(out + (4 * quarter + b) * stride + w, &v[b], sizeof(Lanes4));
    }
  }
}

// Blocks counter to counter + 7 of `stream`, written block after block into
// `out` (128 words), in passes of Lanes.
template <class Lanes>
VANTREL_KERNEL void eight_blocks_in_passes(const Key& key, std::uint64_t counter, std::uint64_t stream,
                                           std::uint32_t* out) {
  constexpr std::size_t kLanes = sizeof(Lanes) / sizeof(std::uint32_t);
  for (std::size_t pass = 0; pass < 8; pass += kLanes) {
    blocks_in_lanes<Lanes>(key, counter + pass, 1, stream, 0, out + pass * 16, 16);
  }
}

// The kStreamLanes streams in passes of Lanes, so that one pass's state
// stays in the target's registers.
template <class Lanes>
VANTREL_KERNEL void streams_in_passes(const Key& key, std::uint64_t counter, std::uint64_t first_stream,
                                      std::uint32_t* out, std::size_t stride) {
  constexpr std::size_t kLanes = sizeof(Lanes) / sizeof(std::uint32_t);
  for (std::size_t pass = 0; pass < kStreamLanes; pass += kLanes) {
    blocks_in_lanes<Lanes>(key, counter, 0, first_stream + pass, 1, out + pass * stride, stride);
  }
}

// ---------------------------------------------------------------------------
// The vector kernels: the parts above, compiled for each target.

// 128-bit vectors: SSE2 is every x86-64's, NEON every AArch64's; elsewhere
// the compiler makes plain code of them.
void vector128_eight_blocks(const Key& key, std::uint64_t counter, std::uint64_t stream, std::uint32_t* out) {
  eight_blocks_in_passes<Lanes4>(key, counter, stream, out);
}
void vector128_one_block(const Key& key, std::uint64_t counter, std::uint64_t stream, std::uint32_t* out) {
  one_block_in_rows(key, counter, stream, out);
}
void vector128_stream_blocks(const Key& key, std::uint64_t counter, std::uint64_t first_stream, std::uint32_t* out,
                             std::size_t stride) {
  streams_in_passes<Lanes4>(key, counter, first_stream, out, stride);
}
bool always() { return true; }

#if defined(__x86_64__)
#define VANTREL_AVX2 __attribute__((target("avx2")))
#define VANTREL_AVX512 __attribute__((target("avx2,avx512f,avx512vl")))

VANTREL_AVX2 void avx2_eight_blocks(const Key& key, std::uint64_t counter, std::uint64_t stream, std::uint32_t* out) {
  eight_blocks_in_passes<Lanes8>(key, counter, stream, out);
}
VANTREL_AVX2 void avx2_one_block(const Key& key, std::uint64_t counter, std::uint64_t stream, std::uint32_t* out) {
  one_block_in_rows(key, counter, stream, out);
}
// Sixteen lanes of eight words take more registers than AVX2 has: two
// passes of eight lanes.
VANTREL_AVX2 void avx2_stream_blocks(const Key& key, std::uint64_t counter, std::uint64_t first_stream,
                                     std::uint32_t* out, std::size_t stride) {
  streams_in_passes<Lanes8>(key, counter, first_stream, out, stride);
}
// What the CPU and the operating system support, asked of CPUID and XGETBV
// directly: __builtin_cpu_supports needs the compiler runtime's CPU model,
// which clang's runtime in the wheels' toolchain does not fill in (every
// vector kernel then looked unsupported).
std::uint32_t extended_features() {  // CPUID leaf 7, EBX
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) ? ebx : 0;
}
// Whether the operating system saves the register state that `mask` names
// in XCR0 (0x6: SSE and AVX; 0xE0 more for AVX-512) across context switches.
bool os_saves(std::uint64_t mask) {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || (ecx & bit_OSXSAVE) == 0 || (ecx & bit_AVX) == 0) return false;
  std::uint32_t low = 0, high = 0;
  asm volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return ((std::uint64_t{high} << 32 | low) & mask) == mask;
}
constexpr std::uint32_t kAvx2 = 1u << 5, kAvx512F = 1u << 16, kAvx512VL = 1u << 31;
bool has_avx2() { return (extended_features() & kAvx2) != 0 && os_saves(0x6); }

// AVX-512VL also rotates 128-bit lanes in one instruction.
VANTREL_AVX512 void avx512_eight_blocks(const Key& key, std::uint64_t counter, std::uint64_t stream,
                                        std::uint32_t* out) {
  eight_blocks_in_passes<Lanes8>(key, counter, stream, out);
}
VANTREL_AVX512 void avx512_one_block(const Key& key, std::uint64_t counter, std::uint64_t stream, std::uint32_t* out) {
  one_block_in_rows(key, counter, stream, out);
}
VANTREL_AVX512 void avx512_stream_blocks(const Key& key, std::uint64_t counter, std::uint64_t first_stream,
                                         std::uint32_t* out, std::size_t stride) {
  streams_in_passes<Lanes16>(key, counter, first_stream, out, stride);
}
bool has_avx512() {
  const std::uint32_t features = extended_features();
  return (features & (kAvx2 | kAvx512F | kAvx512VL)) == (kAvx2 | kAvx512F | kAvx512VL) && os_saves(0xE6);
}
#endif

constexpr ChaCha20Kernel kKernels[] = {
    {"portable", always, portable_eight_blocks, portable_one_block, portable_stream_blocks},
    {"vector128", always, vector128_eight_blocks, vector128_one_block, vector128_stream_blocks},
#if defined(__x86_64__)
    {"avx2", has_avx2, avx2_eight_blocks, avx2_one_block, avx2_stream_blocks},
    {"avx512", has_avx512, avx512_eight_blocks, avx512_one_block, avx512_stream_blocks},
#endif
};

const ChaCha20Kernel& best_kernel() {
  for (std::size_t k = std::size(kKernels); k-- > 0;) {
    if (kKernels[k].supported()) return kKernels[k];
  }
  return kKernels[0];
}

}  // namespace

std::span<const ChaCha20Kernel> chacha20_kernels() { return kKernels; }

const ChaCha20Kernel* kernel_from_environment() {
  const char* wanted = std::getenv("VANTREL_CHACHA20_KERNEL");
  if (wanted == nullptr) return nullptr;
  std::string runnable;
  for (const ChaCha20Kernel& kernel : kKernels) {
    if (!kernel.supported()) continue;
    if (std::string_view(kernel.name) == wanted) return &kernel;
    runnable += std::string(runnable.empty() ? "" : ", ") + kernel.name;
  }
  throw std::invalid_argument("VANTREL_CHACHA20_KERNEL=" + std::string(wanted) +
                              " names no ChaCha20 kernel this CPU runs: " + runnable);
}

const ChaCha20Kernel& chacha20_kernel() {
  static const ChaCha20Kernel& chosen = []() -> const ChaCha20Kernel& {
    try {
      if (const ChaCha20Kernel* forced = kernel_from_environment()) return *forced;
    } catch (const std::invalid_argument&) {
      // Refused where the module is imported; here the best kernel serves.
    }
    return best_kernel();
  }();
  return chosen;
}

std::array<std::uint32_t, 16> chacha20_block(const Key& key, std::uint64_t counter, std::uint64_t stream) {
  std::array<std::uint32_t, 16> block;
  chacha20_kernel().one_block(key, counter, stream, block.data());
  return block;
}

}  // namespace vantrel
