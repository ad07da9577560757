// What the C++ tests ask of a graph that the module itself never does.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <random>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "graph/builder.hpp"
#include "graph/kg.hpp"
#include "graph/labels.hpp"
#include "graph/triple.hpp"
#include "read/byte_source.hpp"
#include "read/graph_reader.hpp"

namespace vantrel {

// A list of `texts` as labels, in order.
inline LabelList label_list(std::initializer_list<std::string_view> texts) {
  LabelArena arena;
  for (const std::string_view text : texts) arena.append(text);
  return std::move(arena).freeze();
}

// The shape of a random graph for tests.
struct RandomGraphShape {
  const char* name;
  int nodes;
  int triples;
  double hub_share = 0.0;   // share of triples that touch node 0
  double self_loops = 0.0;  // share of self-loops
  double duplicates = 0.0;  // share of triples repeating an earlier one
};

// Triples of a random graph of `shape`: labels like Q12 (some not ASCII),
// five relations (some not ASCII), the same for the same seed.
inline std::vector<Triple> random_triples(const RandomGraphShape& shape, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::uniform_int_distribution<int> node(0, shape.nodes - 1);
  const char* relations[] = {"r", "s", "ünï", "t😀", "/film/genre"};
  auto label = [&](int n) { return n % 7 == 3 ? "nœud-" + std::to_string(n) : "Q" + std::to_string(n); };
  std::vector<Triple> triples;
  for (int k = 0; k < shape.triples; ++k) {
    if (!triples.empty() && unit(gen) < shape.duplicates) {
      triples.push_back(triples[std::uniform_int_distribution<std::size_t>(0, triples.size() - 1)(gen)]);
      continue;
    }
    int head = node(gen);
    int tail = node(gen);
    if (unit(gen) < shape.hub_share) (unit(gen) < 0.5 ? head : tail) = 0;
    if (unit(gen) < shape.self_loops) tail = head;
    triples.emplace_back(label(head), relations[gen() % 5], label(tail));
  }
  return triples;
}

// The triples as the lines of a tab-separated file.
inline std::string tsv_text(const std::vector<Triple>& triples) {
  std::string text;
  for (const Triple& t : triples) text += t.head + '\t' + t.relation + '\t' + t.tail + '\n';
  return text;
}

// Whether the graph was built with 64-bit ids.
inline bool is_wide(const KG& kg) {
  return kg.visit([](const auto& graph) { return std::is_same_v<std::decay_t<decltype(graph)>, KG::Wide>; });
}

// The graph of tab-separated `text`, read as the constructor reads a file.
inline AnyGraph graph_of_text(std::string_view text, IdWidth width = IdWidth::kNarrowest,
                              const InterruptPoll& poll = {}) {
  MemorySource source(text);
  GraphReadOptions options;
  options.width = width;
  return read_graph(source, options, poll);
}

// Everything a walk can see of a graph, as text: labels, and every cell.
inline std::string dump(const KG& kg) {
  return kg.visit([](const auto& g) {
    std::string out = std::to_string(g.node_count()) + " nodes, " + std::to_string(g.edge_count()) + " edges\n";
    for (std::uint64_t n = 0; n < g.node_count(); ++n) out += std::string(g.node_label(n)) + "\n";
    for (std::uint64_t r = 0; r < g.relation_labels().size(); ++r) out += std::string(g.relation_labels()[r]) + "\n";
    for (const auto& cell : g.cells().span()) {
      out += std::to_string(cell.edge.block) + " " + std::to_string(cell.edge.relation) + " " +
             std::to_string(cell.edge.twin) + "\n";
    }
    for (const auto block : g.blocks().span()) out += std::to_string(block) + " ";
    return out;
  });
}

// An edge seen from one of its ends, with the other end as a node id.
struct Adjacent {
  std::uint64_t node;      // the node at the other end
  std::uint64_t relation;  // relation label id
  std::uint64_t twin;      // position of this edge in the other end's opposite list
};

// The entries of `node`'s block of one direction, in ascending edge order.
template <class Id>
std::vector<Adjacent> entries_of(const BasicGraph<Id>& graph, std::uint64_t node, bool forward) {
  const Cell<Id>* cells = graph.cells().data();
  const std::uint64_t block = graph.blocks()[node];
  const HeaderCell<Id>& header = cells[block].header;
  const std::uint64_t first = forward ? 0 : header.forward_count;
  const std::uint64_t count = forward ? header.forward_count : header.backward_count;
  std::vector<Adjacent> result;
  for (std::uint64_t k = 0; k < count; ++k) {
    const EdgeCell<Id>& edge = cells[entry_cell(block, first + k)].edge;
    result.push_back({cells[edge.block].header.node, edge.relation, edge.twin});
  }
  return result;
}

// Edges that leave `node`, seen from it; and edges that reach it.
template <class Id>
std::vector<Adjacent> edges_fwd(const BasicGraph<Id>& graph, std::uint64_t node) {
  return entries_of(graph, node, true);
}
template <class Id>
std::vector<Adjacent> edges_rev(const BasicGraph<Id>& graph, std::uint64_t node) {
  return entries_of(graph, node, false);
}

// The label of relation `relation`.
template <class Id>
std::string_view relation_label(const BasicGraph<Id>& graph, std::uint64_t relation) {
  return graph.relation_labels()[relation];
}

}  // namespace vantrel
