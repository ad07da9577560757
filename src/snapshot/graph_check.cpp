#include "snapshot/graph_check.hpp"

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "core/parallel.hpp"

namespace vantrel {

namespace {

// Checks the edge cells of the blocks in cells [begin, end): each leads to
// a block start, names a relation, and has a twin that leads back to it (or
// none, in a graph of one direction); marks the relations it sees.
template <class Id>
void check_edges(const GraphShape& shape, const Cell<Id>* cells, const std::vector<std::uint64_t>& block_starts,
                 std::uint64_t begin, std::uint64_t end, std::uint64_t cell_count,
                 std::vector<std::uint64_t>& relations_used) {
  const bool one_direction = shape.direction != Direction::kBoth;
  constexpr std::uint64_t kAhead = 64;
  std::uint64_t node = 0;
  std::uint64_t block = begin;      // where the current node's block starts
  std::uint64_t forward_end = 0;    // where the current node's forward entries end
  std::uint64_t block_end = begin;  // where the current node's block ends
  for (std::uint64_t cell = begin; cell < end; ++cell) {
    if (cell + kAhead < end) {
      const std::uint64_t ahead = cells[cell + kAhead].edge.block;  // a header's count when not an edge
      if (ahead < cell_count) __builtin_prefetch(&cells[ahead]);
    }
    if (cell == block_end) {  // a header, checked before
      const HeaderCell<Id>& header_cell = cells[cell].header;
      node = header_cell.node;
      block = cell;
      forward_end = entry_cell(cell, header_cell.forward_count);
      block_end = forward_end + header_cell.backward_count;
      continue;
    }
    const EdgeCell<Id>& edge = cells[cell].edge;
    const std::uint64_t other = edge.block;
    if (other >= cell_count || ((block_starts[other / 64] >> (other % 64)) & 1) == 0) {
      throw SnapshotError("an edge of node " + std::to_string(node) + " leads to no node's block");
    }
    if (edge.relation >= shape.relation_count) {
      throw SnapshotError("an edge of node " + std::to_string(node) + " names no relation");
    }
    const HeaderCell<Id>& far_end = cells[other].header;
    const bool forward = cell < forward_end;
    if (one_direction) {  // the other copy of each edge is not listed
      if (edge.twin != BasicGraph<Id>::kNoTwin) {
        throw SnapshotError("an edge of node " + std::to_string(node) + " has a twin in a graph of one direction");
      }
      continue;
    }
    const std::uint64_t opposite = forward ? far_end.backward_count : far_end.forward_count;
    if (edge.twin >= opposite) {
      throw SnapshotError("an edge of node " + std::to_string(node) + " has its twin out of range");
    }
    // The twin is this edge seen from the other end: it leads back here,
    // with the same relation, and names this entry as its own twin.
    const std::uint64_t position = forward ? cell - block - 1 : cell - forward_end;
    const EdgeCell<Id>& twin = cells[twin_cell(other, far_end.forward_count, forward, edge.twin)].edge;
    if (twin.block != block || twin.relation != edge.relation || twin.twin != position) {
      throw SnapshotError("an edge of node " + std::to_string(node) + " and its twin do not match");
    }
    if (forward) {
      std::atomic_ref<std::uint64_t>(relations_used[edge.relation / 64])
          .fetch_or(std::uint64_t{1} << (edge.relation % 64), std::memory_order_relaxed);
    }
  }
}

}  // namespace

template <class Id>
void check_blocks(const Cell<Id>* cells, const Id* blocks, const GraphShape& shape, const InterruptPoll& poll) {
  const std::uint64_t nodes = shape.node_count;
  const std::uint64_t cell_count = nodes + (shape.direction == Direction::kBoth ? 2 : 1) * shape.edge_count;
  if (nodes > 0 && blocks[0] != 0) throw SnapshotError("node 0's block is not at the first cell");
  std::vector<std::uint64_t> block_starts((cell_count + 63) / 64, 0);
  std::atomic<std::uint64_t> forward_total{0};
  std::atomic<std::uint64_t> backward_total{0};
  constexpr std::uint64_t kNodesPerTask = std::uint64_t{1} << 16;
  const std::uint64_t tasks = (nodes + kNodesPerTask - 1) / kNodesPerTask;
  // Each block ends where the next node's begins (the last at the last cell).
  run_tasks(
      tasks, available_cpus(),
      [&](std::uint64_t task, const InterruptPoll& task_poll) {
        std::uint64_t forward = 0;
        std::uint64_t backward = 0;
        for (std::uint64_t node = task * kNodesPerTask; node < std::min(nodes, (task + 1) * kNodesPerTask); ++node) {
          const std::uint64_t position = blocks[node];
          const std::uint64_t next = node + 1 < nodes ? std::uint64_t{blocks[node + 1]} : cell_count;
          if (position >= cell_count)
            throw SnapshotError("node " + std::to_string(node) + "'s block is past the last cell");
          const HeaderCell<Id>& cell = cells[position].header;
          if (cell.node != node)
            throw SnapshotError("the block of node " + std::to_string(node) + " names another node");
          const std::uint64_t entries = std::uint64_t{cell.forward_count} + cell.backward_count;
          if (entries == 0 && !shape.restricted) throw SnapshotError("node " + std::to_string(node) + " has no edge");
          if (entries > cell_count - position - 1) {
            throw SnapshotError("the edges of node " + std::to_string(node) + " run past the last cell");
          }
          if (position + block_cells(cell.forward_count, cell.backward_count) != next) {
            throw SnapshotError(node + 1 < nodes ? "node " + std::to_string(node + 1) +
                                                       "'s block is not where the blocks before it end"
                                                 : std::string("the last node's block does not end at the last cell"));
          }
          forward += cell.forward_count;
          backward += cell.backward_count;
          std::atomic_ref<std::uint64_t>(block_starts[position / 64])
              .fetch_or(std::uint64_t{1} << (position % 64), std::memory_order_relaxed);
        }
        forward_total += forward;
        backward_total += backward;
        task_poll();
      },
      poll);
  if (forward_total != (shape.direction == Direction::kBackward ? 0 : shape.edge_count) ||
      backward_total != (shape.direction == Direction::kForward ? 0 : shape.edge_count)) {
    throw SnapshotError("the node blocks do not hold each edge once in each direction");
  }
  std::vector<std::uint64_t> relations_used((shape.relation_count + 63) / 64, 0);
  // Then every edge cell, in cell order: the far ends' headers are read at
  // random, so each is asked for a few cells ahead, and the reads overlap.
  run_tasks(
      tasks, available_cpus(),
      [&](std::uint64_t task, const InterruptPoll& task_poll) {
        const std::uint64_t first_node = task * kNodesPerTask;
        const std::uint64_t last_node = std::min(nodes, first_node + kNodesPerTask);
        const std::uint64_t begin = blocks[first_node];
        const std::uint64_t end = last_node < nodes ? std::uint64_t{blocks[last_node]} : cell_count;
        check_edges(shape, cells, block_starts, begin, end, cell_count, relations_used);
        task_poll();
      },
      poll);
  // A restricted graph keeps every relation, walkable or not.
  for (std::uint64_t relation = 0; !shape.restricted && relation < shape.relation_count; ++relation) {
    if (((relations_used[relation / 64] >> (relation % 64)) & 1) == 0) {
      throw SnapshotError("relation " + std::to_string(relation) + " has no edge");
    }
  }
}

template void check_blocks(const Cell<std::uint32_t>*, const std::uint32_t*, const GraphShape&, const InterruptPoll&);
template void check_blocks(const Cell<std::uint64_t>*, const std::uint64_t*, const GraphShape&, const InterruptPoll&);

}  // namespace vantrel
