#include "walk/routes.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph/entry_triples.hpp"
#include "graph/source_triples.hpp"
#include "graph_support.hpp"
#include "walk/walks.hpp"

namespace vantrel {
namespace {

WalkRules rules_for(double mean, std::uint64_t cap) {
  return {Poisson::from_mean(mean), cap, key_from_seed(seed_from_random_state(11)), std::nullopt};
}

std::vector<std::vector<std::uint64_t>> walks_of(const WalkBuffers<std::uint64_t>& buffers) {
  std::vector<std::vector<std::uint64_t>> walks;
  for (std::size_t k = 0; k + 1 < buffers.ends.size(); ++k) {
    walks.emplace_back(buffers.tokens.begin() + static_cast<std::ptrdiff_t>(buffers.ends[k]),
                       buffers.tokens.begin() + static_cast<std::ptrdiff_t>(buffers.ends[k + 1]));
  }
  return walks;
}

std::vector<std::vector<std::uint64_t>> routes(const KG& kg, const WalkRules& rules, const WalkRequest& request) {
  WalkBuffers<std::uint64_t> buffers;
  buffers.ends.assign(1, 0);
  draw_routes(kg, rules, request, buffers, {});
  return walks_of(buffers);
}

// Each form of a route is the same route: path and nodes are full without
// nodes or relations, edges the triples of its steps, relabelled nodes the
// full route's nodes relabelled (but its focus at its own place).
TEST(Routes, EveryFormListsTheSameRoute) {
  const KG kg = from_triples(random_triples({"routes", 30, 150, 0.2, 0.05, 0.05}, 4));
  const EntryTriples edges = entry_triples(kg);
  std::vector<std::uint64_t> heads(kg.source().edge_count()), relations(heads.size()), tails(heads.size());
  {
    std::vector<std::uint64_t> table(3 * heads.size());
    source_triple_table(kg, table.data());
    for (std::size_t t = 0; t < heads.size(); ++t) {
      heads[t] = table[3 * t], relations[t] = table[3 * t + 1], tails[t] = table[3 * t + 2];
    }
  }
  std::vector<std::uint64_t> relabel(kg.node_count());
  for (std::uint64_t node = 0; node < relabel.size(); ++node) relabel[node] = (node * 7 + 3) % relabel.size();
  const std::vector<std::uint64_t> listed = {5, 0, 29};
  struct Case {
    const char* name;
    Focus focus;
    StartRule start;
    std::optional<std::uint64_t> length;
    std::uint64_t first;
  };
  const Case cases[] = {
      {"from their start, drawn", Focus::kStart, StartRule::kDrawn, std::nullopt, 0},
      {"from their start, each node", Focus::kStart, StartRule::kEachNode, 6, 1000},
      {"mid, drawn", Focus::kMid, StartRule::kDrawn, std::nullopt, 77},
      {"mid, listed, fixed length", Focus::kMid, StartRule::listed(listed), 9, 5},
      {"mid, at the top of the numbers", Focus::kMid, StartRule::kEachNode, std::nullopt, UINT64_MAX - 40},
  };
  const WalkRules sampler = rules_for(5.0, 12);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WalkRequest request{.first = c.first, .stop = c.first + 40, .start = c.start, .items = Items::kFull};
    request.kind.focus = c.focus;
    request.length = c.length;
    const WalkRules rules = request.rules_of(sampler);
    const auto full = routes(kg, rules, request);
    request.items = Items::kPath;
    const auto path = routes(kg, rules, request);
    request.items = Items::kNodes;
    const auto nodes = routes(kg, rules, request);
    request.kind.relabel = relabel;
    const auto relabelled = routes(kg, rules, request);
    request.kind.relabel = {};
    request.items = Items::kEdges;
    request.kind.edges = &edges;
    const auto triples = routes(kg, rules, request);
    ASSERT_EQ(full.size(), 40u);
    for (std::size_t k = 0; k < full.size(); ++k) {
      const std::vector<std::uint64_t>& walk = full[k];
      const std::size_t steps = (walk.size() - 1) / 2;
      ASSERT_EQ(walk.size(), 2 * steps + 1);
      if (c.length) {
        EXPECT_LE(steps, *c.length);
      }
      std::vector<std::uint64_t> expected_path = {walk.front()};
      std::vector<std::uint64_t> expected_nodes;
      for (std::size_t i = 0; i < walk.size(); i += 2) expected_nodes.push_back(walk[i]);
      for (std::size_t i = 1; i < walk.size(); i += 2) expected_path.push_back(walk[i]);
      expected_path.push_back(walk.back());
      EXPECT_EQ(path[k], expected_path) << k;
      EXPECT_EQ(nodes[k], expected_nodes) << k;
      // The focus: walk k's start, where it is fixed; at its place, not relabelled.
      if (c.start.kind != StartRule::Kind::kDrawn && c.focus == Focus::kStart) {
        EXPECT_EQ(walk.front(), c.start.fixed_node(c.first + k, kg.node_count()));
      }
      std::size_t unchanged = 0;
      for (std::size_t i = 0; i < expected_nodes.size(); ++i) {
        const std::uint64_t node = expected_nodes[i];
        EXPECT_TRUE(relabelled[k][i] == relabel[node] || relabelled[k][i] == node);
        unchanged += relabelled[k][i] == node && relabel[node] != node ? 1 : 0;
      }
      EXPECT_LE(unchanged, 1u);
      // Each step's triple joins the nodes it stands between, by its relation, one way or the other.
      ASSERT_EQ(triples[k].size(), steps) << k;
      for (std::size_t i = 0; i < steps; ++i) {
        const std::uint64_t from = walk[2 * i], token = walk[2 * i + 1], to = walk[2 * i + 2];
        const std::uint64_t t = triples[k][i];
        const bool forward = (token - kg.node_count()) % 2 == 0;
        EXPECT_EQ(relations[t], (token - kg.node_count()) / 2);
        EXPECT_EQ(forward ? heads[t] : tails[t], from);
        EXPECT_EQ(forward ? tails[t] : heads[t], to);
      }
    }
    // Walks drawn as routes are the walks drawn interleaved, in every form
    // both draw: into fresh room (walk_ids), and into a chunk's buffer
    // reused from the chunk before (write_walks).
    WalkBuffers<std::uint64_t> reused;
    for (const Items items : {Items::kFull, Items::kPath, Items::kNodes}) {
      request = WalkRequest{.first = c.first, .stop = c.first + 40, .start = c.start, .items = items};
      request.kind.focus = c.focus;
      request.length = c.length;
      const WalkTokens<std::uint64_t> drawn = draw_numbered_walks<std::uint64_t>(kg, sampler, request, 0, {});
      WalkBuffers<std::uint64_t> interleaved;
      interleaved.tokens.assign(drawn.tokens.data(), drawn.tokens.data() + drawn.tokens.size());
      interleaved.ends.assign(drawn.offsets.data(), drawn.offsets.data() + drawn.offsets.size());
      const auto& expected = items == Items::kFull ? full : items == Items::kPath ? path : nodes;
      EXPECT_EQ(walks_of(interleaved), expected);
      draw_numbered_chunk(kg, sampler, request, reused, {});
      EXPECT_EQ(walks_of(reused), expected);
    }
  }
}

}  // namespace
}  // namespace vantrel
