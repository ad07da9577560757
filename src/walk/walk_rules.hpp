// What fixes a sampler's walks besides its graph (WalkRules), where a walk
// by number starts, what it lists, and the arithmetic of its length and
// its tokens: the vocabulary every walker and every layout of walks uses.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/errors.hpp"
#include "core/interrupt.hpp"
#include "core/memory.hpp"
#include "graph/kg.hpp"
#include "random/random.hpp"

namespace vantrel {

// What fixes the walks of a sampler besides its graph.
struct WalkRules {
  Poisson poisson;
  std::uint64_t max_path_len;
  Key key;
  // A call's fixed number of steps (length=): no length is drawn, and each
  // walk takes this many steps unless it reaches a dead end first.
  std::optional<std::uint64_t> fixed_steps;
};

// The number of steps of the next walk of `rng`: one Poisson draw, plus
// one, capped at the longest walk (path_len_from_draw); or the fixed
// number, with nothing drawn.
inline std::uint64_t draw_path_len(const WalkRules& rules, StdRng& rng) {
  if (rules.fixed_steps) return *rules.fixed_steps;
  return path_len_from_draw(rules.poisson.sample(rng), rules.max_path_len);
}

// The most steps a walk of `rules` takes.
inline std::uint64_t longest_path_len(const WalkRules& rules) {
  return rules.fixed_steps ? *rules.fixed_steps : rules.max_path_len;
}

// The expected number of steps of a walk: the Poisson mean plus one, capped.
inline double expected_steps(const WalkRules& rules) {
  if (rules.fixed_steps) return static_cast<double>(*rules.fixed_steps);
  return std::min(rules.poisson.lambda() + 1.0, static_cast<double>(rules.max_path_len));
}

// The expected number of draws of a walk's length: Knuth's method draws
// about once per unit of the mean, plus once; the rejection method (means
// of 12 and more), measured, about 9 times (two draws an attempt).
inline double expected_length_draws(const WalkRules& rules) {
  if (rules.fixed_steps) return 0.0;
  return rules.poisson.lambda() < 12.0 ? rules.poisson.lambda() + 1.0 : 9.0;
}

// Throws EmptyRangeError (the start draw's failure) when `count` walks are
// asked of a graph without nodes.
inline void check_walkable(const KG& kg, std::uint64_t count) {
  if (count > 0 && kg.node_count() == 0) throw EmptyRangeError();
}

// Calls visit(Token{}) with the narrowest token type that holds every token
// id of `kg`: 32-bit below 2^32 tokens, 64-bit otherwise.
template <class Visit>
decltype(auto) with_token_type(const KG& kg, Visit&& visit) {
  if (kg.token_count() <= UINT32_MAX) return visit(std::uint32_t{});
  return visit(std::uint64_t{});
}

// What a walk by number lists; the walk's route, and so every draw, is the
// same in each form.
enum class Items : std::uint8_t {
  kPath,   // the start node, one relation token per step, the end node: k + 2 tokens for k steps
  kFull,   // every node and every relation, n0 r1 n1 ... rk nk: 2k + 1 tokens
  kNodes,  // the nodes only, n0 n1 ... nk: k + 1 tokens
  kEdges,  // the triple of each step (its row in the graph as read): k numbers
  kTimes,  // the time of each step's triple (a temporal sampler's), its 64 bits as stored: k numbers
};

// Whether walks in form `items` list a number per step rather than tokens.
constexpr bool lists_steps(Items items) { return items == Items::kEdges || items == Items::kTimes; }

// with_token_type(), or for walks that list edges, the narrowest type that
// holds every triple number of the graph as read; for times, 64 bits.
template <class Visit>
decltype(auto) with_item_type(const KG& kg, Items items, Visit&& visit) {
  if (items == Items::kTimes) return visit(std::uint64_t{});
  const std::uint64_t most = items == Items::kEdges ? kg.source().edge_count() : kg.token_count();
  if (most <= UINT32_MAX) return visit(std::uint32_t{});
  return visit(std::uint64_t{});
}

// The number of tokens of a walk of `steps` steps in form `items`, or
// UINT64_MAX where that does not fit in 64 bits.
constexpr std::uint64_t item_count(Items items, std::uint64_t steps) {
  switch (items) {
    case Items::kPath: return steps >= UINT64_MAX - 2 ? UINT64_MAX : steps + 2;
    case Items::kFull: return steps >= (UINT64_MAX - 1) / 2 ? UINT64_MAX : 2 * steps + 1;
    case Items::kEdges:
    case Items::kTimes: return steps;
    case Items::kNodes: break;
  }
  return steps >= UINT64_MAX - 1 ? UINT64_MAX : steps + 1;
}

// The steps of a walk of `tokens` tokens in form `items`.
constexpr std::uint64_t steps_of(Items items, std::uint64_t tokens) {
  switch (items) {
    case Items::kPath: return tokens - 2;
    case Items::kFull: return (tokens - 1) / 2;
    case Items::kEdges:
    case Items::kTimes: return tokens;
    case Items::kNodes: break;
  }
  return tokens - 1;
}

// The expected number of tokens of a walk in form `items`.
inline double expected_items(const WalkRules& rules, Items items) {
  const double steps = expected_steps(rules);
  switch (items) {
    case Items::kPath: return steps + 2.0;
    case Items::kFull: return 2.0 * steps + 1.0;
    case Items::kEdges:
    case Items::kTimes: return steps;
    case Items::kNodes: break;
  }
  return steps + 1.0;
}

// Where a walk by number stands towards its focus, the node it is drawn for
// (its start node, drawn or given).
enum class Focus : std::uint8_t {
  kStart,  // the walk starts at its focus
  kMid,    // the walk runs through its focus: a route drawn back from it, reversed, then one ahead
};

class EntryTriples;
class Temporal;

// What a walk by number is beyond its rules and its form.
struct WalkKind {
  Focus focus = Focus::kStart;
  // Whether a walk whose items equal those of a walk of a smaller number in
  // the same request is left out.
  bool unique = false;
  // Empty, or a node id per node: each node item but the focus at its own
  // place is listed as relabel[node]. Must outlive the work.
  std::span<const std::uint64_t> relabel;
  // For Items::kEdges and kTimes: the triple of each entry of the graph walked.
  const EntryTriples* edges = nullptr;
  // For Items::kTimes: the sampler's times.
  const Temporal* times = nullptr;

  // Whether walks of this kind, in form `items`, are drawn one by one as
  // routes (walk/routes) rather than interleaved: where they list their
  // triples or times, or relabel their nodes.
  bool drawn_as_routes(Items items) const { return !relabel.empty() || lists_steps(items); }
};

// Where a walk by number starts.
struct StartRule {
  enum class Kind : std::uint8_t {
    kDrawn,     // a uniform draw among all nodes, as the sampler's own walks
    kEachNode,  // walk i at node i mod node_count, without a draw
    kListed,    // walk i at node nodes[i mod nodes.size()], without a draw
  };
  Kind kind = Kind::kDrawn;
  std::span<const std::uint64_t> nodes;  // kListed: node ids, each below the node count; not empty

  static const StartRule kDrawn;
  static const StartRule kEachNode;
  // Walks from the given nodes in turn; `nodes` must outlive the work.
  static StartRule listed(std::span<const std::uint64_t> nodes) { return {Kind::kListed, nodes}; }

  // The start of walk `number` when it is not drawn (kind is not kDrawn).
  std::uint64_t fixed_node(std::uint64_t number, std::uint64_t node_count) const {
    return kind == Kind::kEachNode ? number % node_count : nodes[number % nodes.size()];
  }
};
inline constexpr StartRule StartRule::kDrawn{StartRule::Kind::kDrawn, {}};
inline constexpr StartRule StartRule::kEachNode{StartRule::Kind::kEachNode, {}};

// Walks as tokens: walk k is tokens[offsets[k] .. offsets[k + 1]).
template <class Token>
struct WalkTokens {
  ArrayRegion<Token> tokens;
  ArrayRegion<std::uint64_t> offsets;  // one more than there are walks, from 0
};

// Walks as tokens in buffers that a thread reuses from chunk to chunk:
// walk k is tokens[ends[k] .. ends[k + 1]), ends[0] being 0. The tokens'
// room grows unwritten, for the walks to write.
template <class Token>
struct WalkBuffers {
  OverwriteVector<Token> tokens;
  std::vector<std::uint64_t> ends;
};

}  // namespace vantrel
