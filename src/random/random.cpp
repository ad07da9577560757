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

StdRng StdRng::from_seed(const Seed& seed, std::uint64_t stream) {
  StdRng rng;
  rng.key_ = key_from_seed(seed);
  rng.stream_ = stream;
  return rng;
}

StdRng StdRng::from_first_blocks(const Key& key, std::uint64_t stream, const std::uint32_t* words, std::size_t blocks) {
  // The blocks go at the end of the buffer, as if a refill had left them
  // there, so that the next refill computes the blocks after them.
  StdRng rng;
  rng.key_ = key;
  rng.restart(stream, words, blocks);
  return rng;
}

void throw_empty_range() { throw EmptyRangeError(); }

void StdRng::refill() {
  if (single_block_refill_) {
    // At the end of the buffer, as from_first_blocks leaves blocks.
    index_ = kBufferWords - kBlockWords;
    chacha20_kernel().one_block(key_, block_counter_, stream_, results_.data() + index_);
    block_counter_ += 1;
  } else {
    index_ = kBufferWords - kRefillWords;
    chacha20_kernel().eight_blocks(key_, block_counter_, stream_, results_.data() + index_);
    block_counter_ += 8;
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
      76.18009172947146,  -86.50532032941678,   24.01409824083091,
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

double Poisson::sample_by_rejection(StdRng& rng) const {
  for (;;) {
    double comp_dev;  // the comparison deviate: the Cauchy draw of the candidate kept
    double result;
    do {
      comp_dev = sample_cauchy(0.0, 1.0, rng);
      result = (sqrt_2lambda_ * comp_dev) + lambda_;
    } while (!(result >= 0.0));
    result = ::floor(result);
    const double check =
        (0.9 * (1.0 + comp_dev * comp_dev)) * ::exp(((result * log_lambda_) - log_gamma(1.0 + result)) - magic_val_);
    if (rng.next_unit() <= check) return result;
  }
}

std::uint64_t path_len_from_draw(double v, std::uint64_t max_path_len) {
  const double x = v + 1.0;
  const std::uint64_t steps = x >= 0x1.0p64 ? UINT64_MAX : static_cast<std::uint64_t>(x);
  return steps < max_path_len ? steps : max_path_len;
}

}  // namespace vantrel
