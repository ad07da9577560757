// How walk number n begins, in every layout of walks by number: its own
// stream (n + 1 of the sampler's key), whose first blocks are computed side
// by side with its neighbours' (kStreamLanes streams at a time), then its
// length (walk/walk_rules) and its start, drawn or fixed by the request.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "graph/walker.hpp"
#include "random/chacha20.hpp"
#include "random/random.hpp"
#include "walk/walk_rules.hpp"

namespace vantrel {

// The stream of walk number `number`; stream 0 is the sampler's own.
constexpr std::uint64_t stream_of(std::uint64_t number) { return number + 1; }

// Where walk `number` starts: drawn on its stream (after its length), or
// fixed by `start`.
template <Walker W>
std::uint64_t start_of(const W& walker, const StartRule& start, std::uint64_t number, StdRng& rng) {
  return start.kind == StartRule::Kind::kDrawn ? walker.draw_start(rng) : start.fixed_node(number, walker.node_count());
}

// The most first blocks a generator takes (StdRng::restart).
inline constexpr std::uint64_t kMostFirstBlocks = StdRng::kBufferWords / StdRng::kBlockWords;

// The keystream blocks a walk is expected to read: its length draws, its
// start draw, a mid walk's split, and its steps' draws (a bounded draw
// takes about 1.5 draws: the conservative zone turns down up to half of
// them). Between 1 and kMostFirstBlocks whatever the estimate, NaN included.
inline std::uint64_t expected_blocks(const WalkRules& rules, Focus focus, double draws_per_step) {
  const double split = focus == Focus::kMid ? 1.5 : 0.0;
  const double draws = expected_length_draws(rules) + 1.5 + split + expected_steps(rules) * draws_per_step;
  const double blocks = std::ceil(2.0 * draws / static_cast<double>(StdRng::kBlockWords));
  if (!(blocks >= 1.0)) return 1;
  return blocks < static_cast<double>(kMostFirstBlocks) ? static_cast<std::uint64_t>(blocks) : kMostFirstBlocks;
}

// The first blocks of the streams of a batch of consecutive walks by
// number, each walk's blocks side by side, computed kStreamLanes streams at
// a time (a short last group computes streams that no walk of the batch
// reads, wrapping past 2^64 - 1 harmlessly).
class FirstBlocks {
 public:
  explicit FirstBlocks(std::uint64_t most_walks)
      : words_((most_walks + kStreamLanes - 1) / kStreamLanes * kStreamLanes * kMostFirstBlocks * kWords) {}

  // Computes `blocks` (1 to kMostFirstBlocks) blocks of each stream of walks
  // number to number + count - 1 (count at most the most walks).
  void compute(const Key& key, std::uint64_t number, std::uint64_t count, std::uint64_t blocks) {
    blocks_ = blocks;
    for (std::uint64_t group = 0; group < count; group += kStreamLanes) {
      for (std::uint64_t counter = 0; counter < blocks; ++counter) {
        chacha20_stream_blocks(key, counter, stream_of(number + group), &words_[(group * blocks + counter) * kWords],
                               blocks * kWords);
      }
    }
  }

  // Restarts `rng` as the stream of walk `number`, the k-th of the batch.
  void restart(StdRng& rng, std::uint64_t number, std::uint64_t k) const {
    rng.restart(stream_of(number), &words_[k * blocks_ * kWords], blocks_);
  }

 private:
  static constexpr std::uint64_t kWords = StdRng::kBlockWords;
  std::vector<std::uint32_t> words_;
  std::uint64_t blocks_ = 0;
};

}  // namespace vantrel
