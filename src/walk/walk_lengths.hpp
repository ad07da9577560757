// The lengths of walks by number drawn ahead of their steps: each is the
// first draw of the walk's own stream, so it can be known before the walk
// is drawn, to lay out the output exactly and to refuse, before any walk is
// drawn, a request whose walks could never fit in memory.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "random/chacha20.hpp"
#include "random/random.hpp"
#include "walk/walk_rules.hpp"
#include "walk/walk_streams.hpp"

namespace vantrel {

// The keystream blocks of a walk's stream that drawing its length is
// expected to read (one or two; a draw more, where the expectation is
// near a block's end).
inline std::uint64_t length_blocks(const WalkRules& rules) {
  const double draws = expected_length_draws(rules) + 1.0;
  const double blocks = std::ceil(2.0 * draws / static_cast<double>(StdRng::kBlockWords));
  return blocks >= 2.0 ? 2 : 1;  // NaN too: what it sizes holds two at most
}

// Calls on_length(k, path_len, rng) for each walk k of begin to end - 1 of a
// request starting at walk number `first`, in order, right after its length
// is drawn (`rng` is its stream, standing after the length's draws).
template <class OnLength>
void for_each_walk_length(const WalkRules& rules, std::uint64_t first, std::uint64_t begin, std::uint64_t end,
                          OnLength&& on_length) {
  FirstBlocks blocks(kStreamLanes);
  StdRng rng = StdRng::from_first_blocks(rules.key, 0, nullptr, 0);
  for (std::uint64_t group = begin; group < end; group += kStreamLanes) {
    blocks.compute(rules.key, first + group, std::min<std::uint64_t>(kStreamLanes, end - group), length_blocks(rules));
    for (std::uint64_t lane = 0; lane < kStreamLanes && group + lane < end; ++lane) {
      blocks.restart(rng, first + group + lane, lane);
      on_length(group + lane, draw_path_len(rules, rng), rng);
    }
  }
}

// What a run of walks drawn as routes holds at most: their items, and the
// steps of the longest, which each route records as it goes.
struct RouteSizes {
  std::uint64_t items = 0;  // UINT64_MAX where the sum does not fit in 64 bits
  std::uint64_t longest_steps = 0;
};

// The sizes of walks first to first + count - 1 in form `items`, from their
// drawn lengths (the longest possible where the length is fixed, with no
// draw).
RouteSizes drawn_route_sizes(const WalkRules& rules, Items items, std::uint64_t first, std::uint64_t count);

// The sizes of `count` walks in form `items` if each were as long as a walk
// of `rules` may be.
RouteSizes longest_route_sizes(const WalkRules& rules, Items items, std::uint64_t count);

// Sizes added together (items saturating).
RouteSizes operator+(const RouteSizes& a, const RouteSizes& b);

// Whether routes of these sizes fit in memory: `bytes_per_item` for each
// item kept, and the records of up to `in_flight` routes of the longest.
bool routes_fit(const RouteSizes& sizes, std::uint64_t bytes_per_item, std::uint64_t in_flight);

// Throws std::bad_alloc, before any walk is drawn, where walks first to
// first + count - 1 drawn as routes could not fit in memory (as
// routes_fit() says). Their lengths are drawn only where walks of the
// longest possible length would not fit.
void ensure_routes_fit(const WalkRules& rules, Items items, std::uint64_t first, std::uint64_t count,
                       std::uint64_t bytes_per_item, std::uint64_t in_flight);

}  // namespace vantrel
