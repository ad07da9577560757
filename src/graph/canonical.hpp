// Graphs in canonical order: an order that depends only on the multiset of
// triples, not on the order they came in. Nodes are numbered by their
// labels' bytes, relations likewise, and the triples (repeats kept) are
// taken in the order of (head label, relation label, tail label), so that
// the same triples read in any order, from any number of files, in any
// format give the same graph, the same tokens and the same walks.
#pragma once

#include "core/interrupt.hpp"
#include "graph/graph.hpp"

namespace vantrel {

// The graph as read `graph` (not restricted) in canonical order: every node
// and relation it has (those without edges too, as from_ids gives them),
// its triples sorted. `graph` is released once its triples and labels are
// taken, before the new graph is built, so that the two are never held at
// once (unless the caller holds another copy). Throws std::bad_alloc.
AnyGraph canonical_graph(AnyGraph graph, const InterruptPoll& poll = {});

}  // namespace vantrel
