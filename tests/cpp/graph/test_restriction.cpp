#include "graph/restriction.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "graph/builder.hpp"
#include "graph_support.hpp"

namespace vantrel {
namespace {

KG graph_of(const std::string& triples) { return graph_of_text(triples); }

// Each node's (forward count, backward count) and its edge cells.
std::vector<std::vector<std::uint64_t>> blocks_of(const KG& kg) {
  std::vector<std::vector<std::uint64_t>> blocks;
  kg.visit([&](const auto& graph) {
    for (std::uint64_t node = 0; node < graph.node_count(); ++node) {
      const auto* cell = &graph.cells()[graph.blocks()[node]];
      std::vector<std::uint64_t>& block = blocks.emplace_back();
      block = {cell->header.forward_count, cell->header.backward_count};
      for (std::uint64_t e = 0; e < std::uint64_t{cell->header.forward_count} + cell->header.backward_count; ++e) {
        const auto& edge = cell[1 + e].edge;
        block.insert(block.end(), {edge.block, edge.relation, edge.twin});
      }
    }
  });
  return blocks;
}

constexpr std::uint64_t kNoTwin = KG::Narrow::kNoTwin;

TEST(Restrict, KeepsEveryEntryAllowedInOrderWithItsTwin) {
  // Nodes a, b, c; relations r (0), s (1); a self-loop on b.
  const KG kg = graph_of("a\tr\tb\nb\ts\tb\nb\tr\tc\nc\ts\ta\n");
  EXPECT_EQ(blocks_of(restrict_graph(kg, {{true, true}, Direction::kBoth})), blocks_of(kg));
  // Forward only, r only: a at cell 0, b at 2, c at 4.
  const KG forward_r = restrict_graph(kg, {{true, false}, Direction::kForward});
  EXPECT_EQ(forward_r.edge_count(), 2u);
  EXPECT_EQ(blocks_of(forward_r),
            (std::vector<std::vector<std::uint64_t>>{{1, 0, 2, 0, kNoTwin},  // a -r-> b (b's block at cell 2)
                                                     {1, 0, 4, 0, kNoTwin},  // b -r-> c
                                                     {0, 0}}));              // c: no r edge forward
  const KG backward = restrict_graph(kg, {{true, true}, Direction::kBackward});
  EXPECT_EQ(backward.edge_count(), 4u);
  // b (its block at cell 2, after a's header and one backward entry): a -r-> b, then its self-loop on s.
  EXPECT_EQ(blocks_of(backward)[1], (std::vector<std::uint64_t>{0, 2, 0, 0, kNoTwin, 2, 1, kNoTwin}));
  EXPECT_TRUE(backward.restricted() && !kg.restricted());
  // Labels are shared, not copied.
  EXPECT_EQ(backward.node_labels().bytes().data(), kg.node_labels().bytes().data());
}

}  // namespace
}  // namespace vantrel
