#include "graph/head_runs.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "graph/source_triples.hpp"
#include "graph_support.hpp"

namespace vantrel {
namespace {

std::vector<std::uint32_t> runs_of(const std::vector<std::uint32_t>& heads, std::uint64_t heading_nodes) {
  auto region = ArrayRegion<std::uint32_t>::allocate(heads.size());
  std::copy(heads.begin(), heads.end(), region.mutable_data());
  const ArrayRegion<std::uint32_t> runs = head_runs_of(region, heading_nodes, {});
  return {runs.data(), runs.data() + runs.size()};
}

TEST(HeadRuns, HeadsGroupedInAnyOrderGiveTheirRunsAndOthersNone) {
  using Runs = std::vector<std::uint32_t>;
  EXPECT_EQ(runs_of({5, 5, 2, 2, 2, 7, 7, 0, 0}, 4), (Runs{5, 2, 7, 0}));
  EXPECT_EQ(runs_of({5, 5, 2, 2, 5, 5}, 2), Runs{});  // 5's triples apart: more runs than heads
  EXPECT_EQ(runs_of({1, 1, 2, 3, 3}, 3), Runs{});     // runs that save too little
  EXPECT_EQ(runs_of({}, 0), Runs{});
  // Runs across the parts the heads are read in, 2^22 heads each: one that
  // crosses a part's end, one that ends with it, and a head that comes back
  // in the next part.
  constexpr std::size_t kPart = std::size_t{1} << 22;
  std::vector<std::uint32_t> heads(kPart + 6, 1);
  std::fill(heads.begin(), heads.begin() + kPart - 2, 3);
  std::fill(heads.begin() + kPart - 2, heads.begin() + kPart + 2, 9);
  EXPECT_EQ(runs_of(heads, 3), (Runs{3, 9, 1}));
  std::fill(heads.begin(), heads.begin() + kPart, 3);
  std::fill(heads.begin() + kPart, heads.end(), 1);
  EXPECT_EQ(runs_of(heads, 2), (Runs{3, 1}));
  heads.back() = 3;
  EXPECT_EQ(runs_of(heads, 2), Runs{});
}

// The triples of `kg` as read, as labels, in the order it numbers them.
std::vector<Triple> triples_as_numbered(const KG& kg) {
  const std::uint64_t count = kg.source().edge_count();
  std::vector<std::uint64_t> table(3 * count);
  source_triple_table(kg, table.data());
  return kg.source().visit([&](const auto& graph) {
    std::vector<Triple> triples;
    for (std::uint64_t t = 0; t < count; ++t) {
      triples.emplace_back(std::string(graph.node_label(table[3 * t])),
                           std::string(graph.relation_labels()[table[3 * t + 1]]),
                           std::string(graph.node_label(table[3 * t + 2])));
    }
    return triples;
  });
}

TEST(HeadRuns, GraphsOfTriplesGroupedByHeadNumberThemAsTheyCame) {
  // Random triples grouped by head, the heads in the order they first
  // came (not by node id: a head may have come first as a tail).
  const std::vector<Triple> scattered = random_triples({"grouped", 60, 900, 0.1, 0.05, 0.05}, 11);
  std::map<std::string, std::size_t> group_of;
  for (const Triple& triple : scattered) group_of.emplace(triple.head, group_of.size());
  std::vector<Triple> grouped = scattered;
  std::stable_sort(grouped.begin(), grouped.end(),
                   [&](const Triple& a, const Triple& b) { return group_of[a.head] < group_of[b.head]; });
  for (const bool group : {false, true}) {
    const std::vector<Triple>& triples = group ? grouped : scattered;
    const KG kg = from_triples(triples);
    kg.visit([&](const auto& graph) {
      EXPECT_EQ(graph.head_runs().size(), group ? group_of.size() : 0u);
      EXPECT_EQ(graph.heads().size(), group ? 0u : triples.size());
      // A snapshot is given every triple's head, as the triples came.
      const auto heads = heads_in_input_order(graph, {});
      ASSERT_EQ(heads.size(), triples.size());
      for (std::size_t t = 0; t < triples.size(); ++t) ASSERT_EQ(graph.node_label(heads[t]), triples[t].head) << t;
    });
    EXPECT_EQ(triples_as_numbered(kg), triples) << group;
  }
}

}  // namespace
}  // namespace vantrel
