// What every walker shares: where a uniform walk stands, what a step
// returns, the Walker concept, and a walk of many steps with any walker.
#pragma once

#include <concepts>
#include <cstdint>

#include "core/interrupt.hpp"
#include "random/random.hpp"

namespace vantrel {

// Where a walk stands: the block of its node, and which of that node's
// candidates is the first entry of the edge it came over. That entry is
// `removed`, or the node's forward count plus `removed` when kAfterForward
// is set (the count is read with the node's block at the next step, so that
// a step touches no block but the one it stands on); kNoEntry before the
// first step.
// Between try_step() calls of a step left not over, `chosen` is the
// candidate drawn, whose cell is on its way.
template <class Id>
struct WalkPosition {
  static constexpr std::uint64_t kNoEntry = UINT64_MAX;
  static constexpr std::uint64_t kAfterForward = std::uint64_t{1} << 63;
  Id block;
  std::uint64_t removed;
  std::uint64_t chosen = kNoEntry;

  // The candidate the next step leaves out, among the node's candidates
  // (forward ones first, `forward_count` of them); `removed` must not be
  // kNoEntry (a check here, on the uniform step's path, costs it 6%).
  std::uint64_t removed_entry(std::uint64_t forward_count) const {
    return (removed & kAfterForward) != 0 ? forward_count + (removed & ~kAfterForward) : removed;
  }
};

// What step() returns when the node it stands on has no edge to take (a
// node of a restricted graph): the walk ends there.
inline constexpr std::uint64_t kDeadEnd = UINT64_MAX;

// What try_step() returns where a step is not over: a biased step at a
// large node whose proposal was turned down, the next proposal drawn and
// its cell asked for. The next try_step() goes on with it; meanwhile other
// walks can work, so that the cache misses overlap.
inline constexpr std::uint64_t kNotYet = UINT64_MAX - 1;

// Up to this many candidates, a node's cells are few enough to stay in
// cache once its steps have read some of them, and a step reads its
// candidate in place; past them (a hub), each candidate's cell is likely a
// miss of its own, and try_step() hands over to other walks while it comes.
inline constexpr std::uint64_t kCandidatesInCache = 512;

// What a walker is: a graph walked by some rule (the uniform walk of a
// BasicGraph, a biased walk, a metapath walk), with the position of a walk
// on it. Walks by number, a sampler's own walks and routes take any walker;
// adding one means writing its step, meeting this concept, and listing it
// in visit_walker (graph/kg.hpp).
template <class W>
concept Walker = requires(const W& walker, typename W::Position& at, const typename W::Position& here, StdRng& rng,
                          std::uint64_t& cell, std::uint64_t node) {
  typename W::IdType;
  // The node count; a walk's start drawn among the nodes, as a sampler's own walks draw it.
  { walker.node_count() } -> std::convertible_to<std::uint64_t>;
  { walker.draw_start(rng) } -> std::convertible_to<std::uint64_t>;
  // Where a walk from `node` stands before its first step; where a walk
  // stands at `node` having come over the entry at `cell` the other way
  // (a mid walk's ahead route, after its back route).
  { walker.begin_at(node) } -> std::same_as<typename W::Position>;
  { walker.turn_around(node, node) } -> std::same_as<typename W::Position>;
  // One step: the relation token taken, or kDeadEnd. try_step() may also
  // return kNotYet, the step left not over; step_taking() also gives the
  // cell of the entry taken.
  { walker.step(at, rng) } -> std::same_as<std::uint64_t>;
  { walker.try_step(at, rng) } -> std::same_as<std::uint64_t>;
  { walker.step_taking(at, rng, cell) } -> std::same_as<std::uint64_t>;
  // The node a walk stands on; its next block asked of memory ahead; what
  // begin_at(node) reads, asked ahead.
  { walker.end_node(here) } -> std::same_as<std::uint64_t>;
  walker.prefetch(here);
  walker.prefetch_start(node);
  // Work done beyond one unit a step (a biased step's proposals), for the
  // interrupt poll; the random draws a step takes on average.
  { walker.take_work(at) } -> std::same_as<std::uint64_t>;
  { walker.draws_per_step() } -> std::convertible_to<double>;
};

// Walks `path_len` steps from node `start` with `walker`: writes the start node, the relation token of each step, and
// the end node to `out`; a step that finds no edge to take ends the walk.
// Returns the number of tokens written. `meter` counts the work: a step,
// and what a step did beyond one (Walker::take_work).
template <Walker W, class Token>
std::uint64_t walk_from(const W& walker, std::uint64_t start, std::uint64_t path_len, StdRng& rng, Token* out,
                        PollingMeter& meter) {
  auto at = walker.begin_at(start);
  Token* const first = out;
  *out++ = static_cast<Token>(start);
  for (std::uint64_t step_index = 0; step_index < path_len; ++step_index) {
    const std::uint64_t token = walker.step(at, rng);
    if (token == kDeadEnd) break;
    *out++ = static_cast<Token>(token);
    meter.add(1 + walker.take_work(at));
  }
  *out = static_cast<Token>(walker.end_node(at));
  return static_cast<std::uint64_t>(out - first) + 1;
}

}  // namespace vantrel
