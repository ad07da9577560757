// Checking cell and block arrays that came from outside (a snapshot file)
// before any walk reads them: that they describe a graph whose every step
// stays within its arrays, and that a triple file (restricted, for a
// restricted graph) could have built.
#pragma once

#include <cstdint>

#include "core/interrupt.hpp"
#include "graph/graph.hpp"

namespace vantrel {

// The counts and kind of graph that the arrays claim to hold.
struct GraphShape {
  std::uint64_t node_count;
  std::uint64_t edge_count;  // the triples it can walk
  std::uint64_t relation_count;
  Direction direction;
  bool may_lack_edges;  // nodes or relations without edges are allowed
};

// Checks every block and edge cell, on every CPU in runs of nodes: the
// blocks follow each other as the node table says from the first cell to
// the last, each header names its node, every node has an edge (unless the
// graph is restricted), the blocks hold each edge once in each direction
// kept, and every edge cell leads to a block start, names a relation and a
// twin that leads back to it (or no twin, in a graph of one direction);
// every relation has an edge (unless the graph is restricted). The cells
// hold node_count + edge_count entries per direction kept. Throws
// SnapshotError saying what is wrong.
//
// In a graph of both directions, the twins are checked from the forward
// entries alone (which is enough, and halves the random reads), and a graph
// that fails is checked again entry by entry from both ends for the message
// of its first fault; kBothEnds checks from both ends at once, as the
// reference that the tests hold the first way to.
enum class TwinCheck { kForwardEntries, kBothEnds };
template <class Id>
void check_blocks(const Cell<Id>* cells, const Id* blocks, const GraphShape& shape, const InterruptPoll& poll = {},
                  TwinCheck twins = TwinCheck::kForwardEntries);

extern template void check_blocks(const Cell<std::uint32_t>*, const std::uint32_t*, const GraphShape&,
                                  const InterruptPoll&, TwinCheck);
extern template void check_blocks(const Cell<std::uint64_t>*, const std::uint64_t*, const GraphShape&,
                                  const InterruptPoll&, TwinCheck);

}  // namespace vantrel
