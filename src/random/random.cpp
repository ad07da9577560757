#include "random/random.hpp"

#include <cmath>
#include <cstring>

namespace vantrel {

Seed seed_from_random_state(std::uint64_t random_state) {
  Seed seed{};
  for (int i = 0; i < 8; ++i) seed[i] = static_cast<std::uint8_t>(random_state >> (56 - 8 * i));
  return seed;
}

Key key_from_seed(const Seed& seed) {
  Key key;
  for (int w = 0; w < 8; ++w) {
    const std::uint8_t* bytes = seed.data() + 4 * w;
    key[w] = std::uint32_t{bytes[0]} | (std::uint32_t{bytes[1]} << 8) | (std::uint32_t{bytes[2]} << 16) |
             (std::uint32_t{bytes[3]} << 24);
  }
  return key;
}

namespace {

constexpr std::array<std::uint32_t, 4> kSigma = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};

// Lane vectors of the compiler's generic vector extension, built for
// whatever vector unit the target has (SSE2/AVX2/AVX-512 on x86-64, NEON on
// AArch64, plain registers elsewhere). Lane b computes one block.
using Lanes4 = std::uint32_t __attribute__((vector_size(16)));
using Lanes8 = std::uint32_t __attribute__((vector_size(32)));

// Rotates every lane left by `bits`, in place (lanes wider than the
// baseline's vector registers are never passed by value).
// The kernels below are forced inline so that each target variant of the
// functions that use them compiles them with its own instructions.
#define VANTREL_KERNEL inline __attribute__((always_inline))

template <class Lanes>
VANTREL_KERNEL void rotate_left(Lanes& v, int bits) {
  v = (v << bits) | (v >> (32 - bits));
}

template <class Lanes>
VANTREL_KERNEL void quarter_round(Lanes& a, Lanes& b, Lanes& c, Lanes& d) {
  a += b; d ^= a; rotate_left(d, 16);
  c += d; b ^= c; rotate_left(b, 12);
  a += b; d ^= a; rotate_left(d, 8);
  c += d; b ^= c; rotate_left(b, 7);
}

// The ChaCha20 block function on every lane of `input` at once, into `x`:
// twenty rounds, then the input added back.
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

// On x86-64 the processor's best vector instructions are picked once, at
// load time; every variant computes the same words. (ThreadSanitizer cannot
// run the load-time resolvers: its builds keep the baseline variant.)
#if defined(__x86_64__) && !defined(VANTREL_NO_LOAD_TIME_DISPATCH)
#define VANTREL_VECTOR_CLONES __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define VANTREL_VECTOR_CLONES
#endif

// Blocks counter to counter + 3 of `stream`, written block after block into
// `out` (64 words).
VANTREL_VECTOR_CLONES
void chacha20_four_blocks(const Key& key, std::uint64_t counter, std::uint64_t stream, std::uint32_t* out) {
  Lanes4 input[16];
  fill_constants_and_key(key, input);
  for (int b = 0; b < 4; ++b) {
    const std::uint64_t n = counter + static_cast<std::uint64_t>(b);
    input[12][b] = static_cast<std::uint32_t>(n);
    input[13][b] = static_cast<std::uint32_t>(n >> 32);
  }
  input[14] = Lanes4{} + static_cast<std::uint32_t>(stream);
  input[15] = Lanes4{} + static_cast<std::uint32_t>(stream >> 32);
  Lanes4 x[16];
  chacha20_rounds(input, x);
  // Lane b is block b: transpose each group of four words so that a block's
  // words are contiguous.
  for (int w = 0; w < 16; w += 4) {
    transpose4(x[w], x[w + 1], x[w + 2], x[w + 3]);
    for (int b = 0; b < 4; ++b) std::memcpy(out + 16 * b + w, &x[w + b], sizeof(Lanes4));
  }
}

// Block `counter` of `stream` alone, the state's rows in four vectors:
// columns, then diagonals by rotating rows 1 to 3. A quarter of the work of
// four blocks side by side, for a generator that needs one more block.
VANTREL_VECTOR_CLONES
void chacha20_one_block(const Key& key, std::uint64_t counter, std::uint64_t stream, std::uint32_t* out) {
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

// Block `counter` of the streams first_stream to first_stream + lanes - 1,
// where Lanes holds `lanes` words; stream b's words go to out + b × stride.
template <class Lanes>
VANTREL_KERNEL void stream_blocks(const Key& key, std::uint64_t counter, std::uint64_t first_stream, std::uint32_t* out,
                          std::size_t stride) {
  constexpr int kLanes = sizeof(Lanes) / sizeof(std::uint32_t);
  Lanes input[16];
  fill_constants_and_key(key, input);
  input[12] = Lanes{} + static_cast<std::uint32_t>(counter);
  input[13] = Lanes{} + static_cast<std::uint32_t>(counter >> 32);
  for (int b = 0; b < kLanes; ++b) {
    const std::uint64_t stream = first_stream + static_cast<std::uint64_t>(b);
    input[14][b] = static_cast<std::uint32_t>(stream);
    input[15][b] = static_cast<std::uint32_t>(stream >> 32);
  }
  Lanes x[16];
  chacha20_rounds(input, x);
  // Lane b is stream b: transpose four words of four lanes at a time so
  // that each block's words are contiguous.
  for (int w = 0; w < 16; w += 4) {
    for (int quarter = 0; quarter < kLanes / 4; ++quarter) {
      Lanes4 v[4];
      for (int i = 0; i < 4; ++i) std::memcpy(&v[i], reinterpret_cast<const std::uint32_t*>(&x[w + i]) + 4 * quarter,
                                              sizeof(Lanes4));
      transpose4(v[0], v[1], v[2], v[3]);
      for (int b = 0; b < 4; ++b) std::memcpy(out + (4 * quarter + b) * stride + w, &v[b], sizeof(Lanes4));
    }
  }
}

using Lanes16 = std::uint32_t __attribute__((vector_size(64)));

// Sixteen lanes take as many registers as AVX-512 has; with fewer, two
// passes of eight lanes keep the state in registers.
VANTREL_VECTOR_CLONES
void stream_blocks_8x2(const Key& key, std::uint64_t counter, std::uint64_t first_stream, std::uint32_t* out,
                       std::size_t stride) {
  stream_blocks<Lanes8>(key, counter, first_stream, out, stride);
  stream_blocks<Lanes8>(key, counter, first_stream + 8, out + 8 * stride, stride);
}

#if defined(__x86_64__)
__attribute__((target("arch=x86-64-v4")))
void stream_blocks_16(const Key& key, std::uint64_t counter, std::uint64_t first_stream, std::uint32_t* out,
                      std::size_t stride) {
  stream_blocks<Lanes16>(key, counter, first_stream, out, stride);
}
#endif

}  // namespace

void chacha20_stream_blocks(const Key& key, std::uint64_t counter, std::uint64_t first_stream,
                            std::uint32_t* out, std::size_t stride) {
  static_assert(kStreamLanes == 16);
#if defined(__x86_64__)
  static const bool has_avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
  if (has_avx512) return stream_blocks_16(key, counter, first_stream, out, stride);
#endif
  stream_blocks_8x2(key, counter, first_stream, out, stride);
}

std::array<std::uint32_t, 16> chacha20_block(const Key& key, std::uint64_t counter, std::uint64_t stream) {
  std::uint32_t four[64];
  chacha20_four_blocks(key, counter, stream, four);
  std::array<std::uint32_t, 16> block;
  for (int w = 0; w < 16; ++w) block[w] = four[w];
  return block;
}

StdRng StdRng::from_seed(const Seed& seed, std::uint64_t stream) {
  StdRng rng;
  rng.key_ = key_from_seed(seed);
  rng.stream_ = stream;
  return rng;
}

StdRng StdRng::from_first_blocks(const Key& key, std::uint64_t stream, const std::uint32_t* words,
                                 std::size_t blocks) {
  // The blocks go at the end of the buffer, as if a refill had left them
  // there, so that the next refill computes the blocks after them.
  StdRng rng;
  rng.key_ = key;
  rng.restart(stream, words, blocks);
  return rng;
}

void StdRng::refill() {
  if (single_block_refill_) {
    // At the end of the buffer, as from_first_blocks leaves blocks.
    index_ = kBufferWords - kBlockWords;
    chacha20_one_block(key_, block_counter_, stream_, results_.data() + index_);
    block_counter_ += 1;
  } else {
    index_ = 0;
    chacha20_four_blocks(key_, block_counter_, stream_, results_.data());
    block_counter_ += 4;
  }
}

// Draws take two words at a time from a buffer of an even number of words,
// so the buffer is used up exactly when a draw finds it short.
std::uint64_t StdRng::next_u64_after_refill() {
  refill();
  const std::uint64_t value = results_[index_] | (std::uint64_t{results_[index_ + 1]} << 32);
  index_ += 2;
  return value;
}

double log_gamma(double x) {
  const double tmp = x + 5.5;
  const double log = ((x + 0.5) * ::log(tmp)) - tmp;
  double a = 1.000000000190015;
  double denom = x;
  static constexpr double kCoefficients[6] = {
      76.18009172947146,  -86.50532032941678,    24.01409824083091,
      -1.231739572450155, 0.001208650973866179, -5.395239384953e-6,
  };
  for (double k : kCoefficients) {
    denom = denom + 1.0;
    a = a + (k / denom);
  }
  return log + ::log((2.5066282746310007 * a) / x);
}

double sample_cauchy(double median, double scale, StdRng& rng) {
  const double x = rng.next_unit();
  return median + (scale * ::tan(3.141592653589793 * x));
}

Poisson Poisson::from_mean(double mean) {
  if (!(mean > 0.0)) throw ShapeTooSmallError();
  Poisson poisson;
  poisson.log_lambda_ = ::log(mean);
  poisson.exp_lambda_ = ::exp(-mean);
  poisson.sqrt_2lambda_ = std::sqrt(2.0 * mean);
  poisson.magic_val_ = (mean * poisson.log_lambda_) - log_gamma(1.0 + mean);
  poisson.lambda_ = mean;
  // Every rejection test would compare against NaN and fail forever.
  if (std::isnan(poisson.magic_val_)) throw MeanTooLargeError(mean);
  return poisson;
}

double Poisson::sample(StdRng& rng) const {
  if (lambda_ < 12.0) {
    double result = 0.0;
    double p = 1.0;
    while (p > exp_lambda_) {
      p = p * rng.next_unit();
      result = result + 1.0;
    }
    return result - 1.0;
  }
  for (;;) {
    double comp_dev;
    double result;
    do {
      comp_dev = sample_cauchy(0.0, 1.0, rng);
      result = (sqrt_2lambda_ * comp_dev) + lambda_;
    } while (!(result >= 0.0));
    result = ::floor(result);
    const double check =
        (0.9 * (1.0 + comp_dev * comp_dev)) *
        ::exp(((result * log_lambda_) - log_gamma(1.0 + result)) - magic_val_);
    if (rng.next_unit() <= check) return result;
  }
}

std::uint64_t path_len_from_draw(double v, std::uint64_t max_path_len) {
  const double x = v + 1.0;
  const std::uint64_t steps =
      x >= 0x1.0p64 ? UINT64_MAX : static_cast<std::uint64_t>(x);
  return steps < max_path_len ? steps : max_path_len;
}

}  // namespace vantrel
