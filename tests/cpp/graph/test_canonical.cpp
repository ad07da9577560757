#include "graph/canonical.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <string>
#include <vector>

#include "graph/id_graph.hpp"
#include "graph_support.hpp"

namespace vantrel {
namespace {

// The canonical graph as its definition makes it: labels sorted by bytes,
// rows sorted by (head, relation, tail) rank, built by graph_from_ids.
KG by_definition(const std::vector<Triple>& triples) {
  std::map<std::string, std::uint32_t> nodes, relations;
  for (const Triple& t : triples) {
    nodes[t.head];
    nodes[t.tail];
    relations[t.relation];
  }
  std::vector<std::string_view> node_texts, relation_texts;
  for (auto& [text, id] : nodes) id = static_cast<std::uint32_t>(node_texts.size()), node_texts.push_back(text);
  for (auto& [text, id] : relations) {
    id = static_cast<std::uint32_t>(relation_texts.size());
    relation_texts.push_back(text);
  }
  std::vector<std::array<std::uint32_t, 3>> rows;
  for (const Triple& t : triples) rows.push_back({nodes[t.head], relations[t.relation], nodes[t.tail]});
  std::sort(rows.begin(), rows.end());
  LabelArena node_arena, relation_arena;
  for (const auto text : node_texts) node_arena.append(text);
  for (const auto text : relation_texts) relation_arena.append(text);
  const IdTriples table = IdTriples::of_array(reinterpret_cast<const char*>(rows.data()), rows.size(), sizeof(rows[0]),
                                              sizeof(std::uint32_t), {sizeof(std::uint32_t), false, false});
  return graph_from_ids(table, std::move(node_arena).freeze(), std::move(relation_arena).freeze());
}

TEST(CanonicalGraph, IsTheGraphOfTheSortedTriplesLaidOutOnEveryThread) {
  // Labels that share a long beginning and differ past the eight bytes the
  // sort keys on, labels that begin others, bytes above 0x7F, a hub,
  // self-loops and repeated triples.
  std::vector<Triple> triples = random_triples({"hub", 300, 4000, 0.3, 0.05, 0.1}, 11);
  const std::string shared = "http://www.wikidata.org/entity/";
  for (int k = 0; k < 400; ++k) {
    const std::string a = shared + "Q1234567" + std::to_string(k % 37);
    std::string b = shared + (k % 3 ? "Q1234567" : "Q");
    for (int e = 0; e < k % 5; ++e) b += "é";
    triples.push_back({k % 2 ? a : b, k % 4 ? "r" : shared, k % 3 ? shared : a});
  }
  // Labels that zeros would pad alike: each begins the next.
  for (const std::size_t zeros : {3u, 0u, 9u, 1u, 8u}) {
    triples.push_back({"ab" + std::string(zeros, '\0'), "r", "ab"});
  }
  const KG expected = by_definition(triples);
  EXPECT_EQ(dump(canonical_graph(graph_of_text(tsv_text(triples)))), dump(expected));
  std::reverse(triples.begin(), triples.end());
  EXPECT_EQ(dump(canonical_graph(graph_of_text(tsv_text(triples), IdWidth::k64))), dump(expected));
}

TEST(CanonicalGraph, ManyLabelsAreSortedOnEveryThreadAsOnOne) {
  // Enough labels that the first step sorts on every thread, in families
  // whose long runs of equal bytes are shared out among the threads.
  const std::string shared = "http://www.wikidata.org/entity/";
  std::vector<Triple> triples;
  for (int k = 0; k < 150000; ++k) {
    const std::string head = shared + (k % 2 ? "Q1000000" : "Q2000000") + std::to_string(k % 70001);
    const std::string tail =
        k % 3 ? shared + "Q1000000" + std::to_string(k * 31 % 90001) : shared + "L" + std::to_string(k);
    triples.push_back({head, "P" + std::to_string(k % 13), tail});
  }
  EXPECT_EQ(dump(canonical_graph(graph_of_text(tsv_text(triples)))), dump(by_definition(triples)));
}

}  // namespace
}  // namespace vantrel
