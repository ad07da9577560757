#include "graph/builder.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "graph_support.hpp"

namespace vantrel {
namespace {

using Triples = std::vector<Triple>;
using Strings = std::vector<std::string>;

// What a test expects of one node: its label, then the (edge id, node at the
// other end) pairs of its forward and of its backward edges.
struct NodeShape {
  std::string label;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> fwd;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> rev;
};

// Checks the graph's entries against the expected shape: the other end, the
// relation label of the edge, and the twin (the edge's position in the other
// end's list of the opposite direction).
template <class Graph>
void expect_shape(const Graph& g, const std::vector<NodeShape>& nodes, const Strings& edge_labels) {
  ASSERT_EQ(g.node_count(), nodes.size());
  ASSERT_EQ(g.edge_count(), edge_labels.size());
  auto position = [](const auto& list, std::uint64_t edge) {
    for (std::size_t k = 0; k < list.size(); ++k) {
      if (list[k].first == edge) return k;
    }
    return list.size();
  };
  for (std::size_t n = 0; n < nodes.size(); ++n) {
    EXPECT_EQ(g.node_label(n), nodes[n].label) << n;
    for (bool forward : {true, false}) {
      const auto entries = forward ? edges_fwd(g, n) : edges_rev(g, n);
      const auto& expected = forward ? nodes[n].fwd : nodes[n].rev;
      ASSERT_EQ(entries.size(), expected.size()) << "node " << n << (forward ? " forward" : " backward");
      for (std::size_t k = 0; k < expected.size(); ++k) {
        const auto [edge, other] = expected[k];
        SCOPED_TRACE("node " + std::to_string(n) + (forward ? " forward " : " backward ") + std::to_string(k));
        EXPECT_EQ(entries[k].node, other);
        EXPECT_EQ(relation_label(g, entries[k].relation), edge_labels[edge]);
        EXPECT_EQ(entries[k].twin, position(forward ? nodes[other].rev : nodes[other].fwd, edge));
      }
    }
  }
}

struct ShapeCase {
  const char* name;
  Triples triples;
  std::vector<NodeShape> nodes;
  Strings edge_labels;
};

class FromTriples : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(FromTriples, NodesInFirstOccurrenceOrderEdgesInInputOrder) {
  for (IdWidth width : {IdWidth::kNarrowest, IdWidth::k64}) {
    const KG kg = from_triples(GetParam().triples, width);
    EXPECT_EQ(is_wide(kg), width == IdWidth::k64);
    kg.visit([&](const auto& g) { expect_shape(g, GetParam().nodes, GetParam().edge_labels); });
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FromTriples,
    ::testing::Values(
        ShapeCase{"Empty", {}, {}, {}},
        ShapeCase{"Single", {{"a", "r", "b"}}, {{"a", {{0, 1}}, {}}, {"b", {}, {{0, 0}}}}, {"r"}},
        ShapeCase{"SelfLoop", {{"a", "r", "a"}}, {{"a", {{0, 0}}, {{0, 0}}}}, {"r"}},
        ShapeCase{"Parallel",
                  {{"a", "r", "b"}, {"a", "r", "b"}},
                  {{"a", {{0, 1}, {1, 1}}, {}}, {"b", {}, {{0, 0}, {1, 0}}}},
                  {"r", "r"}},
        ShapeCase{"BackAndForth",
                  {{"a", "r", "b"}, {"b", "s", "a"}},
                  {{"a", {{0, 1}}, {{1, 1}}}, {"b", {{1, 0}}, {{0, 0}}}},
                  {"r", "s"}},
        ShapeCase{"SharedTail",
                  {{"x", "r", "y"}, {"z", "s", "y"}},
                  {{"x", {{0, 1}}, {}}, {"y", {}, {{0, 0}, {1, 2}}}, {"z", {{1, 1}}, {}}},
                  {"r", "s"}},
        ShapeCase{"RelationNamedLikeNode", {{"a", "a", "b"}}, {{"a", {{0, 1}}, {}}, {"b", {}, {{0, 0}}}}, {"a"}},
        ShapeCase{"BytewiseLabels",
                  {{"a", "r", "A"}, {"a ", "r", "a"}},
                  {{"a", {{0, 1}}, {{1, 2}}}, {"A", {}, {{0, 0}}}, {"a ", {{1, 0}}, {}}},
                  {"r", "r"}},
        ShapeCase{"EmptyTexts", {{"", "", ""}}, {{"", {{0, 0}}, {{0, 0}}}}, {""}},
        ShapeCase{"WorkedExample",
                  {{"A", "r", "B"}, {"B", "s", "C"}, {"C", "r", "B"}},
                  {{"A", {{0, 1}}, {}}, {"B", {{1, 2}}, {{0, 0}, {2, 2}}}, {"C", {{2, 1}}, {{1, 1}}}},
                  {"r", "s", "r"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BuildKg, ContentGivesSameGraphAsTriplesAtBothWidths) {
  const std::string text = "A\tr\tB\nB\ts\tC\r\nC\tr\tB\textra\n";
  for (IdWidth width : {IdWidth::kNarrowest, IdWidth::k64}) {
    const KG kg = graph_of_text(text, width);
    EXPECT_EQ(is_wide(kg), width == IdWidth::k64);
    kg.visit([](const auto& g) {
      expect_shape(g, {{"A", {{0, 1}}, {}}, {"B", {{1, 2}}, {{0, 0}, {2, 2}}}, {"C", {{2, 1}}, {{1, 1}}}},
                   {"r", "s", "r"});
    });
  }
}

TEST(GraphBuilder, WideningMidwayKeepsIdsAndEdgeOrder) {
  Triples triples;
  for (int i = 0; i < 20000; ++i) {
    triples.emplace_back("n" + std::to_string(i * 7919 % 3001), "r" + std::to_string(i % 5),
                         "a long label, past the slot's inline bytes " + std::to_string(i * 104729 % 2003));
  }
  GraphBuilder<std::uint32_t> narrow;
  for (std::size_t i = 0; i < triples.size() / 2; ++i)
    narrow.add(triples[i].head, triples[i].relation, triples[i].tail);
  GraphBuilder<std::uint64_t> wide = std::move(narrow).widen();
  for (std::size_t i = triples.size() / 2; i < triples.size(); ++i) {
    wide.add(triples[i].head, triples[i].relation, triples[i].tail);
  }
  EXPECT_EQ(dump(KG(std::move(wide).finish<std::uint32_t>(2))), dump(from_triples(triples)));
}

struct Interrupted {};

TEST(Interrupts, LongBuildCallsThePollAndStopsWhenItThrows) {
  std::string text;
  for (int i = 0; i < 1100000; ++i) text += "a\tr\tb\n";
  int polls = 0;
  EXPECT_THROW(graph_of_text(text, IdWidth::kNarrowest,
                             [&] {
                               ++polls;
                               throw Interrupted{};
                             }),
               Interrupted);
  EXPECT_EQ(polls, 1);
}

}  // namespace
}  // namespace vantrel
