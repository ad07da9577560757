#include "snapshot/graph_check.hpp"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "core/parallel.hpp"
#include "graph/layout.hpp"

namespace vantrel {

namespace {

// Marks `relation` in `relations_used`. Read before written: most
// relations are marked early, and a shared word that is only read stays in
// every core's cache.
inline void mark_relation(std::vector<std::uint64_t>& relations_used, std::uint64_t relation) {
  std::atomic_ref<std::uint64_t> used(relations_used[relation / 64]);
  const std::uint64_t bit = std::uint64_t{1} << (relation % 64);
  if ((used.load(std::memory_order_relaxed) & bit) == 0) used.fetch_or(bit, std::memory_order_relaxed);
}

// Checks the edge cells of the blocks in cells [begin, end): each leads to
// a block start, names a relation, and has a twin that leads back to it (or
// none, in a graph of one direction); marks the relations it sees. Throws
// SnapshotError naming the first fault.
template <class Id>
void check_edges(const GraphShape& shape, const Cell<Id>* cells, const std::vector<std::uint64_t>& block_starts,
                 std::uint64_t begin, std::uint64_t end, std::uint64_t cell_count,
                 std::vector<std::uint64_t>& relations_used) {
  const bool one_direction = shape.direction != Direction::kBoth;
  // Each edge reads its far end's header and then its twin, both at
  // random: the header kHeaderAhead cells ahead is asked for, and the twin
  // kTwinAhead cells ahead, once that header has come.
  constexpr std::uint64_t kHeaderAhead = 64;
  constexpr std::uint64_t kTwinAhead = 32;
  std::uint64_t node = 0;
  std::uint64_t block = begin;      // where the current node's block starts
  std::uint64_t forward_end = 0;    // where the current node's forward entries end
  std::uint64_t block_end = begin;  // where the current node's block ends
  for (std::uint64_t cell = begin; cell < end; ++cell) {
    // Cells ahead may be headers, read as edges: what they give is only a hint.
    if (cell + kHeaderAhead < end) {
      const std::uint64_t ahead = cells[cell + kHeaderAhead].edge.block;
      if (ahead < cell_count) __builtin_prefetch(&cells[ahead]);
    }
    if (!one_direction && cell + kTwinAhead < end) {
      const EdgeCell<Id>& ahead = cells[cell + kTwinAhead].edge;
      if (ahead.block < cell_count) {
        // Forward or backward is not known here: the twin is among the far
        // end's backward entries for a forward edge, which most are.
        const std::uint64_t twin = twin_cell_of(cells, ahead, true);
        if (twin < cell_count) __builtin_prefetch(&cells[twin]);
      }
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
    if (forward) mark_relation(relations_used, edge.relation);
  }
}

// The forward entries' cells of the blocks in cells [begin, end), blocks
// whose headers have been checked, in order.
template <class Id>
class ForwardCells {
 public:
  ForwardCells(const Cell<Id>* cells, std::uint64_t begin, std::uint64_t end) : cells_(cells), end_(end) {
    enter(begin);
  }
  bool done() const { return cell_ >= end_; }
  std::uint64_t cell() const { return cell_; }
  std::uint64_t block() const { return block_; }
  void next() {
    if (++cell_ == forward_end_) enter(block_end_);
  }

 private:
  // Goes to the first forward entry from the block at `block` on.
  void enter(std::uint64_t block) {
    for (; block < end_; block = block_end_) {
      const HeaderCell<Id>& header = cells_[block].header;
      block_ = block;
      cell_ = block + 1;
      forward_end_ = cell_ + header.forward_count;
      block_end_ = forward_end_ + header.backward_count;
      if (cell_ < forward_end_) return;
    }
    cell_ = end_;
  }

  const Cell<Id>* cells_;
  std::uint64_t end_;
  std::uint64_t block_ = 0;
  std::uint64_t cell_ = 0;
  std::uint64_t forward_end_ = 0;
  std::uint64_t block_end_ = 0;
};

// Whether the edge cells of the blocks in cells [begin, end), of a graph of
// both directions whose blocks hold as many backward entries as forward
// ones, pass check_edges, from their forward entries' twins alone and every
// entry's relation; marks the relations it sees. That is enough: every
// forward entry whose twin leads back to it names a different backward
// entry (which names one forward entry back), so the forward entries'
// twins are all the backward entries, and each of those leads to a block
// start (its forward entry's), with the same relation, and names as its
// twin the forward entry that names it. Half check_edges' random reads,
// asked for ahead on the forward entries only; check_edges names a fault.
template <class Id>
bool forward_twins_match(const GraphShape& shape, const Cell<Id>* cells, const std::vector<std::uint64_t>& block_starts,
                         std::uint64_t begin, std::uint64_t end, std::uint64_t cell_count,
                         std::vector<std::uint64_t>& relations_used) {
  // Every entry's relation, in cell order.
  for (std::uint64_t block = begin; block < end;) {
    const HeaderCell<Id>& header = cells[block].header;
    const std::uint64_t block_end = block_cells(header.forward_count, header.backward_count) + block;
    for (std::uint64_t cell = block + 1; cell < block_end; ++cell) {
      if (cells[cell].edge.relation >= shape.relation_count) return false;
    }
    block = block_end;
  }
  // The far end's header, then the twin (often on the header's cache line):
  // each asked for some forward entries ahead, the twin once the header has
  // come.
  constexpr int kHeaderAhead = 48;
  constexpr int kTwinAhead = 24;
  ForwardCells<Id> at(cells, begin, end), header_ahead = at, twin_ahead = at;
  for (int k = 0; k < kHeaderAhead && !header_ahead.done(); ++k) header_ahead.next();
  for (int k = 0; k < kTwinAhead && !twin_ahead.done(); ++k) twin_ahead.next();
  for (; !at.done(); at.next()) {
    if (!header_ahead.done()) {
      const std::uint64_t far_block = cells[header_ahead.cell()].edge.block;
      if (far_block < cell_count) __builtin_prefetch(&cells[far_block]);
      header_ahead.next();
    }
    if (!twin_ahead.done()) {
      const EdgeCell<Id>& ahead = cells[twin_ahead.cell()].edge;
      if (ahead.block < cell_count) {
        const std::uint64_t twin = twin_cell(ahead.block, cells[ahead.block].header.forward_count, true, ahead.twin);
        if (twin < cell_count) __builtin_prefetch(&cells[twin]);
      }
      twin_ahead.next();
    }
    const EdgeCell<Id>& edge = cells[at.cell()].edge;
    const std::uint64_t other = edge.block;
    if (other >= cell_count || ((block_starts[other / 64] >> (other % 64)) & 1) == 0) return false;
    const HeaderCell<Id>& far_end = cells[other].header;
    if (edge.twin >= far_end.backward_count) return false;
    const EdgeCell<Id>& twin = cells[twin_cell(other, far_end.forward_count, true, edge.twin)].edge;
    if (twin.block != at.block() || twin.relation != edge.relation || twin.twin != at.cell() - at.block() - 1) {
      return false;
    }
    mark_relation(relations_used, edge.relation);
  }
  return true;
}

// The first pass: each node's block, its header naming the node and ending
// where the next node's begins (the last at the last cell), each edge held
// once in each direction kept. Marks in `block_starts` the cell of each
// header.
template <class Id>
void check_node_blocks(const Cell<Id>* cells, const Id* blocks, const GraphShape& shape, std::uint64_t cell_count,
                       std::vector<std::uint64_t>& block_starts, const InterruptPoll& poll) {
  const std::uint64_t nodes = shape.node_count;
  if (nodes > 0 && blocks[0] != 0) throw SnapshotError("node 0's block is not at the first cell");
  std::atomic<std::uint64_t> forward_total{0};
  std::atomic<std::uint64_t> backward_total{0};
  for_node_ranges(nodes, poll, [&](std::uint64_t first_node, std::uint64_t end_node) {
    std::uint64_t forward = 0;
    std::uint64_t backward = 0;
    for (std::uint64_t node = first_node; node < end_node; ++node) {
      const std::uint64_t position = blocks[node];
      const std::uint64_t next = node + 1 < nodes ? std::uint64_t{blocks[node + 1]} : cell_count;
      if (position >= cell_count)
        throw SnapshotError("node " + std::to_string(node) + "'s block is past the last cell");
      const HeaderCell<Id>& cell = cells[position].header;
      if (cell.node != node) throw SnapshotError("the block of node " + std::to_string(node) + " names another node");
      const std::uint64_t entries = degree(cell);
      if (entries == 0 && !shape.may_lack_edges) throw SnapshotError("node " + std::to_string(node) + " has no edge");
      if (entries > cell_count - position - 1) {
        throw SnapshotError("the edges of node " + std::to_string(node) + " run past the last cell");
      }
      if (position + block_cells(cell.forward_count, cell.backward_count) != next) {
        throw SnapshotError(node + 1 < nodes
                                ? "node " + std::to_string(node + 1) + "'s block is not where the blocks before it end"
                                : std::string("the last node's block does not end at the last cell"));
      }
      forward += cell.forward_count;
      backward += cell.backward_count;
      std::atomic_ref<std::uint64_t>(block_starts[position / 64])
          .fetch_or(std::uint64_t{1} << (position % 64), std::memory_order_relaxed);
    }
    forward_total += forward;
    backward_total += backward;
  });
  if (forward_total != (shape.direction == Direction::kBackward ? 0 : shape.edge_count) ||
      backward_total != (shape.direction == Direction::kForward ? 0 : shape.edge_count)) {
    throw SnapshotError("the node blocks do not hold each edge once in each direction");
  }
}

}  // namespace

template <class Id>
void check_blocks(const Cell<Id>* cells, const Id* blocks, const GraphShape& shape, const InterruptPoll& poll,
                  TwinCheck twins) {
  const std::uint64_t nodes = shape.node_count;
  const std::uint64_t cell_count = nodes + (shape.direction == Direction::kBoth ? 2 : 1) * shape.edge_count;
  std::vector<std::uint64_t> block_starts((cell_count + 63) / 64, 0);
  check_node_blocks(cells, blocks, shape, cell_count, block_starts, poll);
  const bool from_forward_entries = shape.direction == Direction::kBoth && twins == TwinCheck::kForwardEntries;
  const std::uint64_t tasks = (nodes + kNodesPerTask - 1) / kNodesPerTask;  // of for_node_ranges
  std::vector<std::uint64_t> relations_used((shape.relation_count + 63) / 64, 0);
  // Then every edge cell, in cell order: the far ends' headers and twins are
  // read at random, so each is asked for some cells ahead, and the reads
  // overlap.
  auto edges_of_task = [&](std::uint64_t task) {
    const std::uint64_t first_node = task * kNodesPerTask;
    const std::uint64_t last_node = std::min(nodes, first_node + kNodesPerTask);
    return std::pair<std::uint64_t, std::uint64_t>(blocks[first_node],
                                                   last_node < nodes ? std::uint64_t{blocks[last_node]} : cell_count);
  };
  std::atomic<bool> refused{false};
  if (from_forward_entries) {
    run_tasks(
        tasks, available_cpus(),
        [&](std::uint64_t task, const InterruptPoll& task_poll) {
          const auto [begin, end] = edges_of_task(task);
          if (!forward_twins_match(shape, cells, block_starts, begin, end, cell_count, relations_used)) {
            refused = true;
          }
          task_poll();
        },
        poll);
  }
  if (!from_forward_entries || refused) {
    run_tasks(
        tasks, available_cpus(),
        [&](std::uint64_t task, const InterruptPoll& task_poll) {
          const auto [begin, end] = edges_of_task(task);
          check_edges(shape, cells, block_starts, begin, end, cell_count, relations_used);
          task_poll();
        },
        poll);
    if (refused) throw std::logic_error("the edge check refused what the full check passed");
  }
  // A restricted graph keeps every relation, walkable or not.
  for (std::uint64_t relation = 0; !shape.may_lack_edges && relation < shape.relation_count; ++relation) {
    if (((relations_used[relation / 64] >> (relation % 64)) & 1) == 0) {
      throw SnapshotError("relation " + std::to_string(relation) + " has no edge");
    }
  }
}

template void check_blocks(const Cell<std::uint32_t>*, const std::uint32_t*, const GraphShape&, const InterruptPoll&,
                           TwinCheck);
template void check_blocks(const Cell<std::uint64_t>*, const std::uint64_t*, const GraphShape&, const InterruptPoll&,
                           TwinCheck);

}  // namespace vantrel
