// The layout of a graph's nodes and edges in one array of cells, and the
// words every unit uses for it. A node's block is its header cell, then one
// cell per forward entry (an edge of which it is the head), then one per
// backward entry (an edge of which it is the tail):
//   [header of node 0][its forward edges][its backward edges][header of node 1]...
// Entries are also numbered across the graph, headers left out: node u's
// entry k is entry first_entry(block(u), u) + k, so that per-entry arrays
// (weights, indexes) sit beside the cells without a header's gap. Every unit
// that lays out or reads blocks finds cells and entries through these.
#pragma once

#include <algorithm>
#include <cstdint>

#include "core/interrupt.hpp"
#include "core/parallel.hpp"

namespace vantrel {

// The first cell of a node's block.
template <class Id>
struct HeaderCell {
  Id forward_count;
  Id backward_count;
  Id node;
};

// One of a node's edges, seen from that node.
template <class Id>
struct EdgeCell {
  Id block;     // the block of the node at the other end
  Id relation;  // relation label id
  Id twin;      // position of this edge among the other end's entries of the opposite direction
};

// A cell of the block array: a header or an edge, by its position. Both
// views are three ids, so either may be read whatever was written.
template <class Id>
union Cell {
  HeaderCell<Id> header;
  EdgeCell<Id> edge;
};

// The cells a block of `forward` and `backward` entries takes.
constexpr std::uint64_t block_cells(std::uint64_t forward, std::uint64_t backward) { return 1 + forward + backward; }

// The cell of entry `entry` of the block at `block`, counting its forward
// entries first (a backward entry k is entry forward_count + k).
constexpr std::uint64_t entry_cell(std::uint64_t block, std::uint64_t entry) { return block + 1 + entry; }

// The cell of an edge's twin, the same edge seen from its other end: entry
// `twin` among the opposite direction's entries of that end's block, which
// starts at `far_block` with `far_forward_count` forward entries. `forward`:
// whether the edge is a forward entry where it is seen from.
constexpr std::uint64_t twin_cell(std::uint64_t far_block, std::uint64_t far_forward_count, bool forward,
                                  std::uint64_t twin) {
  return entry_cell(far_block, (forward ? far_forward_count : 0) + twin);
}

// A node's candidates: its forward entries and its backward entries.
template <class Id>
constexpr std::uint64_t degree(const HeaderCell<Id>& header) {
  return std::uint64_t{header.forward_count} + header.backward_count;
}

// The number of the first entry of node `node`, whose block is at `block`,
// among the graph's entries (every block before it holds one header).
constexpr std::uint64_t first_entry(std::uint64_t block, std::uint64_t node) { return block - node; }

// The entries of a graph of `cells` cells and `nodes` nodes.
constexpr std::uint64_t entry_count(std::uint64_t cells, std::uint64_t nodes) { return cells - nodes; }

// The cell of the twin of `edge`, an entry of direction `forward` where it
// is seen from, in `cells` (where the twin is kept: not kNoTwin).
template <class Id>
std::uint64_t twin_cell_of(const Cell<Id>* cells, const EdgeCell<Id>& edge, bool forward) {
  return twin_cell(edge.block, cells[edge.block].header.forward_count, forward, edge.twin);
}

// Turns `sizes[0 .. nodes)`, each node's block size in cells, into where each
// block starts (their running sums), in place; returns the cells in all.
template <class Id>
std::uint64_t block_starts_from_sizes(Id* sizes, std::uint64_t nodes) {
  std::uint64_t cells = 0;
  for (std::uint64_t node = 0; node < nodes; ++node) {
    const std::uint64_t size = sizes[node];
    sizes[node] = static_cast<Id>(cells);
    cells += size;
  }
  return cells;
}

// The nodes of a task of work done node by node: ranges of this many, a
// multiple of 64, so that a task's nodes own whole words of a bitset.
inline constexpr std::uint64_t kNodesPerTask = std::uint64_t{1} << 16;
static_assert(kNodesPerTask % 64 == 0);

// Calls visit(begin, end) for ranges of kNodesPerTask of `nodes` nodes, on
// every CPU, polling between ranges; run_tasks' rules for failures.
template <class Visit>
void for_node_ranges(std::uint64_t nodes, const InterruptPoll& poll, Visit&& visit) {
  run_tasks((nodes + kNodesPerTask - 1) / kNodesPerTask, available_cpus(),
            [&](std::uint64_t task, const InterruptPoll& task_poll) {
              const std::uint64_t first = task * kNodesPerTask;
              visit(first, std::min(nodes, first + kNodesPerTask));
              task_poll();
            },
            poll);
}

// Whether a graph of `cells` cells (a header per node, an entry per edge and
// direction listed) and `relations` relations can have 32-bit ids: every
// cell position and relation id below 2^32 - 1, the all-ones value being
// kept as a marker (no twin, an empty slot). The one rule for every graph,
// however it is built or loaded.
constexpr bool fits_32_bit_ids(std::uint64_t cells, std::uint64_t relations) {
  return cells < UINT32_MAX && relations < UINT32_MAX;
}

}  // namespace vantrel
