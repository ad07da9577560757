// The floor of walks by number: the time to produce only the keystream and
// the draws that the walks consume (each walk's length, start and step
// draws), without reading the graph. The bench runs it beside the walks.
//
//   vantrel_walk_floor WALKS MEAN CAP NODES RANGES_FILE
//
// RANGES_FILE holds the ranges of step draws, one integer a line, a power
// of two of them (so that picking one is a mask, not a division): the
// bench samples them from the graph's nodes in proportion to degree (a
// walk's stationary distribution), as a node's candidates less the edge
// just used. The walks' draws from their streams are the walks' own: the
// same length draws, a start draw over NODES, one bounded draw per step.
//
// The floor has two parts, timed apart. The keystream: as many blocks as
// the walks read (counted by an untimed pass), computed kStreamLanes side
// by side, the cheapest way the kernels have. The draws: each walk's draws
// from its stream's blocks, made in place (the blocks computed beforehand,
// outside the time). Prints one JSON line: the two parts and their sum as
// walks/s, and the blocks read per walk.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "random/chacha20.hpp"
#include "random/random.hpp"
#include "walk/walks.hpp"

namespace {

using vantrel::kStreamLanes;
using vantrel::StdRng;

constexpr std::size_t kBlockWords = StdRng::kBlockWords;
constexpr std::size_t kMostBlocks = StdRng::kBufferWords / kBlockWords;

// One walk's draws from `rng`: returns a value of them all, so that the
// compiler keeps every draw.
std::uint64_t draw_walk(const vantrel::WalkRules& rules, std::uint64_t nodes, const std::vector<std::uint64_t>& ranges,
                        std::uint64_t walk, StdRng& rng) {
  const std::uint64_t steps = vantrel::draw_path_len(rules, rng);
  std::uint64_t sink = rng.gen_range(0, nodes);
  for (std::uint64_t step = 0; step < steps; ++step) {
    sink += rng.gen_range(0, ranges[(walk * 31 + step) & (ranges.size() - 1)]);
  }
  return sink;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s WALKS MEAN CAP NODES RANGES_FILE\n", argv[0]);
    return 2;
  }
  const std::uint64_t walks = std::stoull(argv[1]);
  const vantrel::WalkRules rules{vantrel::Poisson::from_mean(std::stod(argv[2])), std::stoull(argv[3]),
                                 vantrel::key_from_seed(vantrel::seed_from_random_state(0)), std::nullopt};
  const std::uint64_t nodes = std::stoull(argv[4]);
  std::vector<std::uint64_t> ranges;
  std::ifstream in(argv[5]);
  for (std::uint64_t range; in >> range;) ranges.push_back(std::max<std::uint64_t>(range, 1));
  if (ranges.empty() || (ranges.size() & (ranges.size() - 1)) != 0 || nodes == 0) {
    std::fprintf(stderr, "the ranges must be a power of two of them, and the nodes more than none\n");
    return 2;
  }

  using Clock = std::chrono::steady_clock;
  // Untimed: how many blocks each group of walks reads at most, and all
  // walks together.
  std::vector<std::uint8_t> group_blocks((walks + kStreamLanes - 1) / kStreamLanes, 1);
  std::uint64_t blocks_read = 0;
  for (std::uint64_t walk = 0; walk < walks; ++walk) {
    StdRng rng = StdRng::from_first_blocks(rules.key, walk + 1, nullptr, 0);
    draw_walk(rules, nodes, ranges, walk, rng);
    const std::uint64_t blocks = (2 * rng.draws_made() + kBlockWords - 1) / kBlockWords;
    blocks_read += blocks;
    auto& most = group_blocks[walk / kStreamLanes];
    most = static_cast<std::uint8_t>(std::min<std::uint64_t>(kMostBlocks, std::max<std::uint64_t>(most, blocks)));
  }

  std::vector<std::uint32_t> words(kStreamLanes * kMostBlocks * kBlockWords);
  std::uint64_t sink = 0;
  // The keystream: blocks_read blocks, kStreamLanes at a time.
  const auto keystream_start = Clock::now();
  for (std::uint64_t call = 0; call < (blocks_read + kStreamLanes - 1) / kStreamLanes; ++call) {
    vantrel::chacha20_stream_blocks(rules.key, call % kMostBlocks, 1 + call / kMostBlocks * kStreamLanes, words.data());
    sink += words[call % words.size()];
  }
  const double keystream_seconds = std::chrono::duration<double>(Clock::now() - keystream_start).count();

  // The draws, group by group, each group's blocks computed outside the time.
  StdRng rng = StdRng::from_first_blocks(rules.key, 0, nullptr, 0);
  Clock::duration draws_time{};
  for (std::uint64_t group = 0; group < walks; group += kStreamLanes) {
    const std::uint64_t blocks = group_blocks[group / kStreamLanes];
    for (std::uint64_t counter = 0; counter < blocks; ++counter) {
      vantrel::chacha20_stream_blocks(rules.key, counter, group + 1, &words[counter * kBlockWords],
                                      kMostBlocks * kBlockWords);
    }
    const auto start = Clock::now();
    for (std::uint64_t lane = 0; lane < kStreamLanes && group + lane < walks; ++lane) {
      rng.restart(group + lane + 1, &words[lane * kMostBlocks * kBlockWords], blocks);
      sink += draw_walk(rules, nodes, ranges, group + lane, rng);
    }
    draws_time += Clock::now() - start;
  }
  const double draws_seconds = std::chrono::duration<double>(draws_time).count();
  const double per_walk = static_cast<double>(walks);
  std::printf(
      "{\"keystream_walks_per_s\": %.1f, \"draws_walks_per_s\": %.1f, \"floor_walks_per_s\": %.1f, "
      "\"blocks_read_per_walk\": %.3f, \"kernel\": \"%s\", \"sink\": %llu}\n",
      per_walk / keystream_seconds, per_walk / draws_seconds, per_walk / (keystream_seconds + draws_seconds),
      static_cast<double>(blocks_read) / per_walk, vantrel::chacha20_kernel().name,
      static_cast<unsigned long long>(sink % 2));
  return 0;
}
