#include "graph/restriction.hpp"
#include "graph/sampler_restriction.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "graph/bias.hpp"
#include "graph/builder.hpp"
#include "graph/id_graph.hpp"
#include "graph/layout.hpp"
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
  EXPECT_TRUE(backward.may_lack_edges() && !kg.may_lack_edges());
  // Labels are shared, not copied.
  EXPECT_EQ(backward.node_labels().bytes().data(), kg.node_labels().bytes().data());
}

// Every graph a walk may list (both directions, or one), asked for every
// direction and for all, some or none of its relations: the restricted
// graph, the restriction it records of the graph as read (which the
// kept-entry walk and snapshots use), and the bias restricted from a biased
// parent all keep the same entries.
TEST(Restrict, GraphKeptEntriesAndRestrictedBiasAgreeForEveryDirectionAndRelationSet) {
  // Relations r (0), s (1), t (2); self-loops on b and c, a parallel edge a -r-> b.
  const KG kg = graph_of("a\tr\tb\nb\ts\tb\nb\tr\tc\nc\ts\ta\na\tr\tb\nc\tt\tc\n");
  BiasInputs inputs;
  inputs.edge_weights = std::vector<double>{1.0, 2.0, 3.0, 4.0, 5.0, 6.0};  // one per triple, all distinct
  const std::vector<std::vector<bool>> relation_sets = {{true, true, true}, {true, false, true}, {false, false, false}};
  for (const Direction listed : {Direction::kBoth, Direction::kForward, Direction::kBackward}) {
    const KG graph = listed == Direction::kBoth ? kg : restrict_graph(kg, {{true, true, true}, listed});
    const KG biased_parent = graph.with_bias(make_bias(graph, inputs));
    for (const Direction requested : {Direction::kBoth, Direction::kForward, Direction::kBackward}) {
      for (const std::vector<bool>& relations : relation_sets) {
        SCOPED_TRACE(testing::Message() << "listed " << int(listed) << ", requested " << int(requested));
        const KG restricted = restrict_graph(graph, {relations, requested});
        EXPECT_NO_THROW(check_restricted_from_source(restricted));
        // The source's entries that the recorded restriction keeps: each triple's, forward and backward.
        std::uint64_t kept = 0;
        for (const std::uint64_t relation : {0, 1, 0, 1, 0, 2}) {
          kept += restricted.restriction()->keeps(relation, true) + restricted.restriction()->keeps(relation, false);
        }
        EXPECT_EQ(restricted.visit([](const auto& g) { return g.entry_count(); }), kept);
        const auto from_parent = restrict_bias(biased_parent, restricted);
        const auto made = make_bias(restricted, inputs);
        const ArrayRegion<double>& a = from_parent->weights();
        const ArrayRegion<double>& b = made->weights();
        EXPECT_EQ(std::vector<double>(a.data(), a.data() + a.size()),
                  std::vector<double>(b.data(), b.data() + b.size()));
      }
    }
  }
}

// The twin of an edge's twin is the edge itself, on graphs built, restricted
// to both directions and made from ids, self-loops and parallel edges among them.
TEST(Layout, TheTwinOfATwinIsTheCellItself) {
  const KG built = from_triples(random_triples({"loops", 40, 400, 0.3, 0.2, 0.1}, 7));
  const std::vector<std::int32_t> rows = {0, 0, 1, 1, 1, 1, 1, 0, 2, 2, 1, 0, 0, 0, 1, 2, 0, 2};
  const IdTriples id_triples =
      IdTriples::of_array(reinterpret_cast<const char*>(rows.data()), rows.size() / 3, 12, 4, {4, true, false});
  std::vector<bool> most(5, true);
  most[1] = false;
  for (const KG& kg : {built, restrict_graph(built, {most, Direction::kBoth}),
                       KG(graph_from_ids(id_triples, label_list({"a", "b", "c", "d"}), label_list({"r", "s"})))}) {
    std::uint64_t twins = 0;
    kg.visit([&](const auto& graph) {
      const auto* cells = graph.cells().data();
      for (std::uint64_t node = 0; node < graph.node_count(); ++node) {
        const std::uint64_t block = graph.blocks()[node];
        for (std::uint64_t k = 0; k < degree(cells[block].header); ++k) {
          const bool forward = k < cells[block].header.forward_count;
          const std::uint64_t cell = entry_cell(block, k);
          const auto& twin = cells[twin_cell_of(cells, cells[cell].edge, forward)].edge;
          EXPECT_EQ(twin.block, block);
          EXPECT_EQ(twin_cell_of(cells, twin, !forward), cell);
          ++twins;
        }
      }
    });
    EXPECT_GT(twins, 0u);
  }
}

}  // namespace
}  // namespace vantrel
