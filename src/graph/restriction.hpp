// Restricted graphs: the nodes, labels and relations of a graph, with only
// some of its edges walkable, chosen by relation and by direction.
#pragma once

#include <vector>

#include "core/interrupt.hpp"
#include "graph/graph.hpp"

namespace vantrel {

// Which edges a restricted graph keeps.
struct Restriction {
  std::vector<bool> relations;             // by relation id: whether its edges are kept
  Direction direction = Direction::kBoth;  // kForward: head to tail only; kBackward: tail to head only
};

// The graph of `kg` restricted to `restriction`. Every node keeps its id,
// its label and, in the same order, the entries of its block that the
// restriction allows; a node may be left without any, and the walk ends
// there. The labels are shared with `kg`, not copied, and live as long as
// either graph does; so does the graph as read (kg.source()), which the new
// graph knows, with the restriction of it that gives the new graph. The new
// graph is walked uniformly. Throws std::bad_alloc.
KG restrict_graph(const KG& kg, const Restriction& restriction, const InterruptPoll& poll = {});

// The restriction of kg.source() that gives kg restricted to `requested`.
Restriction combined_restriction(const KG& kg, const Restriction& requested);

}  // namespace vantrel
