#include "graph/restriction.hpp"

#include <algorithm>
#include <cstdint>

#include "graph/layout.hpp"

namespace vantrel {

namespace {

template <class Id>
BasicGraph<Id> restrict_basic(const BasicGraph<Id>& graph, const Restriction& restriction, const InterruptPoll& poll) {
  const std::uint64_t nodes = graph.node_count();
  const Cell<Id>* cells = graph.cells().data();
  const Id* blocks = graph.blocks().data();
  const Restriction kept = restriction_of_listed(graph.direction(), restriction);
  // Pass 1, by ranges of nodes on every CPU: how many cells each node's
  // block takes, and (where twins are kept) each kept entry's position
  // among its node's kept entries of the same direction.
  const bool twins = kept.direction == Direction::kBoth;
  std::vector<Id> rank(twins ? graph.cells().size() : 0);
  auto new_blocks = ArrayRegion<Id>::allocate(nodes);
  Id* const block_of = new_blocks.mutable_data();
  auto for_each_node = [&](auto&& visit) {
    for_node_ranges(nodes, poll, [&](std::uint64_t begin, std::uint64_t end) {
      for (std::uint64_t node = begin; node < end; ++node) visit(node);
    });
  };
  for_each_node([&](std::uint64_t node) {
    const std::uint64_t block = blocks[node];
    const HeaderCell<Id>& header = cells[block].header;
    std::uint64_t ranks[2] = {0, 0};
    for (std::uint64_t entry = 0; entry < degree(header); ++entry) {
      const bool forward = entry < header.forward_count;
      const std::uint64_t cell = entry_cell(block, entry);
      if (!kept.keeps(cells[cell].edge.relation, forward)) continue;
      if (twins) rank[cell] = static_cast<Id>(ranks[forward ? 0 : 1]);
      ++ranks[forward ? 0 : 1];
    }
    block_of[node] = static_cast<Id>(block_cells(ranks[0], ranks[1]));  // the block's size, for now
  });
  const std::uint64_t cell_count = block_starts_from_sizes(block_of, nodes);
  // Pass 2, likewise: the blocks, each edge leading to the other end's new
  // block with its twin's new position, or kNoTwin where that copy is not kept.
  auto new_cells = ArrayRegion<Cell<Id>>::allocate(cell_count);
  const std::uint64_t cell_total = graph.cells().size();
  constexpr std::uint64_t kAhead = 32;
  Cell<Id>* const out = new_cells.mutable_data();
  for_each_node([&](std::uint64_t node) {
    const std::uint64_t block = blocks[node];
    const HeaderCell<Id>& header = cells[block].header;
    std::uint64_t at = block_of[node];
    HeaderCell<Id>& new_header = out[at++].header;
    new_header = {0, 0, static_cast<Id>(node)};
    for (std::uint64_t entry = 0; entry < degree(header); ++entry) {
      // The far ends' headers are read at random: ask for the one a few
      // dozen cells on (in this block or the next ones) now, so that the
      // reads overlap. A header cell read as an edge gives a count, mostly
      // in range and harmless to prefetch.
      const std::uint64_t cell = entry_cell(block, entry);
      if (cell + kAhead < cell_total) {
        const std::uint64_t ahead = cells[cell + kAhead].edge.block;
        if (ahead < cell_total) __builtin_prefetch(&cells[ahead]);
      }
      const bool forward = entry < header.forward_count;
      const EdgeCell<Id>& edge = cells[cell].edge;
      if (!kept.keeps(edge.relation, forward)) continue;
      const HeaderCell<Id>& far_end = cells[edge.block].header;
      Id twin = BasicGraph<Id>::kNoTwin;
      if (twins && edge.twin != BasicGraph<Id>::kNoTwin) twin = rank[twin_cell_of(cells, edge, forward)];
      out[at++].edge = {block_of[far_end.node], edge.relation, twin};
      ++(forward ? new_header.forward_count : new_header.backward_count);
    }
  });
  const LabelList& node_labels = graph.node_labels();
  const LabelList& relation_labels = graph.relation_labels();
  return BasicGraph<Id>(
      std::move(new_cells), std::move(new_blocks),
      LabelList(node_labels.bytes().share(), node_labels.offsets().share(), node_labels.ascii_flags().share()),
      LabelList(relation_labels.bytes().share(), relation_labels.offsets().share(),
                relation_labels.ascii_flags().share()),
      kept.direction, true);
}

}  // namespace

Restriction restriction_of_listed(Direction listed, const Restriction& requested) {
  Restriction kept = requested;
  if (listed == Direction::kBoth) return kept;
  kept.direction = listed;  // a graph of one direction keeps that one, or (asked for the other) nothing
  if (requested.direction != Direction::kBoth && requested.direction != listed) {
    kept.relations.assign(kept.relations.size(), false);
  }
  return kept;
}

AnyGraph restricted_graph(const AnyGraph& graph, const Restriction& restriction, const InterruptPoll& poll) {
  return std::visit([&](const auto& plain) { return AnyGraph(restrict_basic(plain, restriction, poll)); }, graph);
}

}  // namespace vantrel
