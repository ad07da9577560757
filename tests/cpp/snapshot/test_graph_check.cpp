#include "snapshot/graph_check.hpp"

#include <gtest/gtest.h>

#include <memory>
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

}  // namespace
}  // namespace vantrel
