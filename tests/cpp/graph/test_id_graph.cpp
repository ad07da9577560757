#include "graph/id_graph.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "graph_support.hpp"
#include "snapshot/graph_check.hpp"

namespace vantrel {
namespace {

IdTriples triples_of(const std::vector<std::int32_t>& rows) {
  return IdTriples::of_array(reinterpret_cast<const char*>(rows.data()), rows.size() / 3, 12, 4, {4, true, false});
}

TEST(GraphFromIds, FirstOccurrenceIdsGiveTheTextGraph) {
  const std::vector<std::int32_t> rows = {0, 0, 1, 1, 1, 2, 2, 0, 1};
  const KG kg = graph_from_ids(triples_of(rows), label_list({"A", "B", "C"}), label_list({"r", "s"}));
  EXPECT_EQ(dump(kg), dump(graph_of_text("A\tr\tB\nB\ts\tC\nC\tr\tB\n")));
  EXPECT_FALSE(kg.may_lack_edges());
}

TEST(GraphFromIds, RowsGroupedByHeadKeepTheirRunsOrFailWhereTheGroupsChange) {
  // Rows grouped by head: node 1's first, then node 0's. The third poll
  // (as rows are placed) may swap the heads of two rows not yet placed,
  // which leaves every node's counts as they were counted but breaks a group.
  constexpr std::uint64_t kRows = (std::uint64_t{1} << 20) + 8;
  constexpr std::uint64_t kSplit = kRows - 4;
  for (const bool swap : {false, true}) {
    SCOPED_TRACE(swap ? "heads swapped" : "rows kept");
    std::vector<std::int32_t> rows(3 * kRows);
    for (std::uint64_t row = 0; row < kRows; ++row) {
      rows[3 * row] = row < kSplit ? 1 : 0;
      rows[3 * row + 2] = static_cast<std::int32_t>(row % 3);
    }
    int polls = 0;
    auto poll = [&] {
      if (++polls == 3 && swap) rows[3 * (kSplit - 2)] = 0, rows[3 * (kSplit + 1)] = 1;
    };
    try {
      const KG kg = graph_from_ids(triples_of(rows), label_list({"a", "b", "c"}), label_list({"r"}), poll);
      EXPECT_FALSE(swap);
      const auto& graph = kg.source().as<std::uint32_t>();
      EXPECT_TRUE(graph.heads().empty());
      ASSERT_EQ(graph.head_runs().size(), 2u);
      EXPECT_EQ(graph.head_runs()[0], 1u);
      EXPECT_EQ(graph.head_runs()[1], 0u);
    } catch (const IdRangeError& error) {
      EXPECT_TRUE(swap);
      EXPECT_STREQ(error.what(), "triples changed while the graph was built from them");
    }
  }
}

TEST(GraphFromIds, RowsRewrittenBetweenPassesGiveAGraphThatChecksOrFail) {
  // The array is read three times (checked, counted, placed), a poll every
  // 2^20 rows each time; the poll of the last pass rewrites rows not yet
  // placed, as another thread might.
  constexpr std::uint64_t kRows = (std::uint64_t{1} << 20) + 8;
  struct Rewrite {
    const char* name;
    std::uint64_t row;
    unsigned column;
    std::int32_t value;
    bool fails;
  };
  for (const Rewrite rewrite : {Rewrite{"the only edge of relation 1 becomes relation 0", kRows - 1, 1, 0, false},
                                Rewrite{"an edge moves to another head", kRows - 2, 0, 1, true},
                                Rewrite{"an edge moves to another tail", kRows - 2, 2, 0, true},
                                Rewrite{"a head becomes no node", kRows - 3, 0, 7, true}}) {
    SCOPED_TRACE(rewrite.name);
    std::vector<std::int32_t> rows(3 * kRows);
    for (std::uint64_t row = 0; row < kRows; ++row) {
      rows[3 * row] = static_cast<std::int32_t>(row % 2);
      rows[3 * row + 2] = static_cast<std::int32_t>(1 + row % 2);
    }
    rows[3 * (kRows - 1) + 1] = 1;
    int polls = 0;
    auto poll = [&] {
      if (++polls == 3) rows[3 * rewrite.row + rewrite.column] = rewrite.value;
    };
    try {
      const KG kg = graph_from_ids(triples_of(rows), label_list({"a", "b", "c"}), label_list({"r", "s"}), poll);
      EXPECT_FALSE(rewrite.fails);
      // What a snapshot's loading checks, so that the graph saves and loads back.
      kg.visit([](const auto& g) {
        check_blocks(g.cells().data(), g.blocks().data(),
                     {g.node_count(), g.edge_count(), g.relation_count(), g.direction(), g.may_lack_edges()});
      });
      EXPECT_TRUE(kg.may_lack_edges());  // relation 1 is left without edges
    } catch (const IdRangeError& error) {
      EXPECT_TRUE(rewrite.fails);
      EXPECT_STREQ(error.what(), "triples changed while the graph was built from them");
    }
    EXPECT_EQ(polls, 3);
  }
}

TEST(GraphFromIds, AGraphThatCannotFitIsRefusedBeforeItsRowsAreRead) {
  // Rows that all alias one, as a broadcast array's do: reading 2^40 of them would take minutes.
  const std::int32_t row[3] = {0, 0, 0};
  const IdTriples huge =
      IdTriples::of_array(reinterpret_cast<const char*>(row), std::uint64_t{1} << 40, 0, 4, {4, true, false});
  int polls = 0;
  EXPECT_THROW(graph_from_ids(huge, label_list({"a"}), label_list({"r"}), [&] { ++polls; }), std::bad_alloc);
  EXPECT_EQ(polls, 0);
}

}  // namespace
}  // namespace vantrel
