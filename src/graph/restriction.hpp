// Restricted graphs: the nodes, labels and relations of a graph, with only
// some of its edges walkable, chosen by relation and by direction. What a
// restriction keeps is decided here, for every unit; a sampler's
// restricted graph is put together from it in graph/sampler_restriction.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "core/interrupt.hpp"
#include "graph/graph.hpp"
#include "graph/layout.hpp"

namespace vantrel {

// Which edges a restricted graph keeps.
struct Restriction {
  std::vector<bool> relations;             // by relation id: whether its edges are kept
  Direction direction = Direction::kBoth;  // kForward: head to tail only; kBackward: tail to head only

  // Whether an entry of relation `relation`, forward (listed at its head)
  // or backward (at its tail), is kept.
  bool keeps(std::uint64_t relation, bool forward) const {
    return (forward ? direction != Direction::kBackward : direction != Direction::kForward) && relations[relation];
  }
};

// What restricting a graph that lists `listed` (both directions, or one) by
// `requested` keeps of it: the requested relations, in the direction both
// keep; a graph of one direction asked for the other keeps nothing.
Restriction restriction_of_listed(Direction listed, const Restriction& requested);

// `graph` restricted to `restriction`. Every node keeps its id, its label
// and, in the same order, the entries of its block that the restriction
// allows; a node may be left without any, and the walk ends there. The
// labels are shared with `graph`, not copied, and live as long as either
// graph does. Throws std::bad_alloc.
AnyGraph restricted_graph(const AnyGraph& graph, const Restriction& restriction, const InterruptPoll& poll = {});

}  // namespace vantrel
