#include "snapshot/graph_check.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "graph/builder.hpp"
#include "graph_support.hpp"

namespace vantrel {
namespace {

TEST(CheckBlocks, ABuiltGraphPassesAndABrokenTwinDoesNot) {
  const std::string triples = "a\tr\tb\na\tr\tb\nb\ts\tb\n";  // two parallel edges and a self-loop
  const KG kg = graph_of_text(triples);
  kg.visit([](const auto& graph) {
    using Id = typename std::decay_t<decltype(graph)>::IdType;
    const GraphShape shape{graph.node_count(), graph.edge_count(), graph.relation_count(), Direction::kBoth, false};
    std::vector<Cell<Id>> cells(graph.cells().span().begin(), graph.cells().span().end());
    EXPECT_NO_THROW(check_blocks(cells.data(), graph.blocks().data(), shape));
    std::swap(cells[1].edge.twin, cells[2].edge.twin);  // a's two edges point at each other's twins
    try {
      check_blocks(cells.data(), graph.blocks().data(), shape);
      ADD_FAILURE() << "no error";
    } catch (const SnapshotError& error) {
      EXPECT_STREQ(error.what(), "invalid snapshot: an edge of node 0 and its twin do not match");
    }
    // The same arrays claimed as a graph of one direction: its twins should all be absent.
    EXPECT_THROW(check_blocks(graph.cells().data(), graph.blocks().data(),
                              GraphShape{shape.node_count, 2 * shape.edge_count, shape.relation_count,
                                         Direction::kForward, true}),
                 SnapshotError);
  });
}

// What check_blocks says of `cells`, with `twins`: "" where it passes.
template <class Id>
std::string verdict(const std::vector<Cell<Id>>& cells, const Id* blocks, const GraphShape& shape, TwinCheck twins) {
  try {
    check_blocks(cells.data(), blocks, shape, {}, twins);
    return "";
  } catch (const SnapshotError& error) {
    return error.what();
  }
}

TEST(CheckBlocks, TheForwardTwinCheckRefusesWhatTheFullOneRefusesWithItsMessage) {
  // One field of one cell at a time, set to a value near a valid one: a
  // block start, a count or a twin of another entry, or just past the end.
  const KG kg = graph_of_text(tsv_text(random_triples({"hubs", 60, 400, 0.3, 0.1, 0.1}, 5)));
  kg.visit([](const auto& graph) {
    using Id = typename std::decay_t<decltype(graph)>::IdType;
    const GraphShape shape{graph.node_count(), graph.edge_count(), graph.relation_count(), Direction::kBoth, false};
    const std::vector<Cell<Id>> built(graph.cells().span().begin(), graph.cells().span().end());
    std::mt19937_64 random(3);
    int refused = 0;
    for (int round = 0; round < 3000; ++round) {
      std::vector<Cell<Id>> cells = built;
      const std::size_t cell = random() % cells.size();
      Id* fields[] = {&cells[cell].edge.block, &cells[cell].edge.relation, &cells[cell].edge.twin};
      Id& field = *fields[random() % 3];
      const Id values[] = {static_cast<Id>(field + 1), static_cast<Id>(field - 1),
                           built[random() % built.size()].edge.block, static_cast<Id>(cells.size())};
      field = values[random() % 4];
      const std::string full = verdict(cells, graph.blocks().data(), shape, TwinCheck::kBothEnds);
      ASSERT_EQ(verdict(cells, graph.blocks().data(), shape, TwinCheck::kForwardEntries), full)
          << "round " << round << ", cell " << cell;
      refused += !full.empty();
    }
    EXPECT_GT(refused, 1500);  // most changes break the graph
  });
}

}  // namespace
}  // namespace vantrel
