// The seeded random source of a sampler: a ChaCha20 block generator, its
// 64-bit, unit and bounded-integer draws, and the Poisson walk-length
// distribution. Every draw is specified down to the number of 64-bit values
// it consumes and the order of its floating-point operations, because one
// draw more or less changes every later walk of the stream.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/errors.hpp"
#include "random/chacha20.hpp"

namespace vantrel {

using Seed = std::array<std::uint8_t, 32>;

// The unit value of a 64-bit draw: its upper 53 bits scaled by 2^-53, in [0, 1).
inline double unit_from_u64(std::uint64_t value) { return static_cast<double>(value >> 11) * 0x1.0p-53; }

// One attempt of the bounded draw below `range` (>= 1) with the 64-bit value
// `value`: accepted when the low half of value × range lies in the zone
// (range << leading zeros) - 1; then `result` is the high half.
inline bool bounded_from_u64(std::uint64_t value, std::uint64_t range, std::uint64_t& result) {
  const std::uint64_t zone = (range << __builtin_clzll(range)) - 1;
  const unsigned __int128 product = static_cast<unsigned __int128>(value) * range;
  if (static_cast<std::uint64_t>(product) > zone) return false;
  result = static_cast<std::uint64_t>(product >> 64);
  return true;
}

// The 32-byte seed of a sampler: the 8 bytes of `random_state`, most
// significant first, then 24 zero bytes.
Seed seed_from_random_state(std::uint64_t random_state);

// The key whose words are the seed's bytes, four at a time, little-endian.
Key key_from_seed(const Seed& seed);

// Throws EmptyRangeError: out of line, so that the draws that may throw it inline.
[[noreturn]] void throw_empty_range();

// ChaCha20 (20 rounds, 64-bit block counter, 64-bit nonce) handing out its
// keystream as little-endian 32-bit words, eight blocks per refill. The
// nonce selects one of 2^64 independent streams of the same key: stream 0
// is a sampler's own, stream i + 1 belongs to walk number i. A generator
// made from precomputed first blocks (a walk's, which rarely reads far)
// refills one block at a time instead; the words drawn are the same.
class StdRng {
 public:
  static constexpr std::size_t kBlockWords = 16;
  // A refill's words, eight blocks, are the whole buffer; it also holds up
  // to eight precomputed first blocks (a biased walk's draws).
  static constexpr std::size_t kBufferWords = 8 * kBlockWords;
  static constexpr std::size_t kRefillWords = kBufferWords;

  // A generator in its initial state; no block is computed before the first draw.
  static StdRng from_seed(const Seed& seed, std::uint64_t stream = 0);

  // The generator of `stream` with its first `blocks` blocks (0 to 8)
  // computed beforehand, `words` holding them in order: the same draws as
  // from_seed(seed, stream), without computing those blocks again.
  static StdRng from_first_blocks(const Key& key, std::uint64_t stream, const std::uint32_t* words, std::size_t blocks);

  // Makes this generator from_first_blocks(its key, stream, words, blocks),
  // in place.
  void restart(std::uint64_t stream, const std::uint32_t* words, std::size_t blocks) {
    single_block_refill_ = true;
    stream_ = stream;
    index_ = kBufferWords - blocks * kBlockWords;
    if (blocks > 0) std::memcpy(results_.data() + index_, words, blocks * kBlockWords * sizeof(std::uint32_t));
    block_counter_ = blocks;
  }

  // The next 64-bit value: the earlier keystream word is the low half.
  std::uint64_t next_u64() {
    if (index_ + 2 <= kBufferWords) {
      std::uint64_t value = results_[index_] | (std::uint64_t{results_[index_ + 1]} << 32);
      index_ += 2;
      return value;
    }
    return next_u64_after_refill();
  }

  // A float in [0, 1): the upper 53 bits of one 64-bit draw, scaled by 2^-53.
  double next_unit() { return unit_from_u64(next_u64()); }

  // A uniform integer in [low, high) by widening multiplication with rejection
  // against the conservative zone; draws at least once even when the range
  // holds one value. Throws EmptyRangeError (drawing nothing) if low >= high.
  std::uint64_t gen_range(std::uint64_t low, std::uint64_t high) {
    if (low >= high) [[unlikely]]
      throw_empty_range();
    const std::uint64_t range = high - low;
    std::uint64_t offset;
    while (!bounded_from_u64(next_u64(), range, offset)) {
    }
    return low + offset;
  }

  // Number of the next block that a refill computes.
  std::uint64_t block_counter() const { return block_counter_; }

  // The number of 64-bit draws made since block 0 of the stream.
  std::uint64_t draws_made() const { return (block_counter_ * kBlockWords + index_ - kBufferWords) / 2; }

 private:
  StdRng() = default;
  std::uint64_t next_u64_after_refill();
  void refill();

  std::array<std::uint32_t, kBufferWords> results_{};
  std::size_t index_ = kBufferWords;
  Key key_{};
  std::uint64_t stream_ = 0;
  std::uint64_t block_counter_ = 0;
  bool single_block_refill_ = false;
};

// ln Γ(x) by the six-term Lanczos approximation (γ = 5) of Numerical Recipes;
// meant for x >= 1. Deliberately not a library log-gamma: walks depend on
// these exact values.
double log_gamma(double x);

// A Cauchy draw, median + scale × tan(π × u), from one unit draw.
double sample_cauchy(double median, double scale, StdRng& rng);

// The walk-length distribution: Poisson with a fixed mean, drawn by Knuth's
// multiplication method below 12 and by rejection against a Cauchy above.
class Poisson {
 public:
  // Throws ShapeTooSmallError unless mean > 0, and MeanTooLargeError when the
  // derived constant is NaN (the draw could never finish).
  static Poisson from_mean(double mean);

  // One draw: a whole number >= 0, or -1.0 when exp(-mean) rounds to 1.
  // Knuth's method below a mean of 12, inline (a walk's length is drawn
  // per walk); the rejection method above it.
  double sample(StdRng& rng) const {
    if (lambda_ >= 12.0) return sample_by_rejection(rng);
    double result = 0.0;
    double p = 1.0;
    while (p > exp_lambda_) {
      p = p * rng.next_unit();
      result = result + 1.0;
    }
    return result - 1.0;
  }

  // The mean, and the terms derived from it once. The names are the
  // algorithm's own, though two of them say little: exp_lambda is
  // exp(-lambda), and magic_val is lambda * ln(lambda) - ln Γ(1 + lambda),
  // the log of the rejection method's normalising term.
  double lambda() const { return lambda_; }
  double exp_lambda() const { return exp_lambda_; }
  double log_lambda() const { return log_lambda_; }
  double sqrt_2lambda() const { return sqrt_2lambda_; }
  double magic_val() const { return magic_val_; }

 private:
  Poisson() = default;
  double sample_by_rejection(StdRng& rng) const;
  double lambda_ = 0.0;
  double exp_lambda_ = 0.0;
  double log_lambda_ = 0.0;
  double sqrt_2lambda_ = 0.0;
  double magic_val_ = 0.0;
};

// The number of steps of a walk whose Poisson draw is `v`: v + 1, truncated
// to an integer (saturating at 2^64 - 1), capped at `max_path_len`.
std::uint64_t path_len_from_draw(double v, std::uint64_t max_path_len);

}  // namespace vantrel
