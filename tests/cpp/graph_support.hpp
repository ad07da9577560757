// What the C++ tests ask of a graph that the module itself never does.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "graph/builder.hpp"
#include "read/byte_source.hpp"
#include "graph/graph.hpp"
#include "read/graph_reader.hpp"

namespace vantrel {

// Whether the graph was built with 64-bit ids.
inline bool is_wide(const KG& kg) {
  return kg.visit([](const auto& graph) { return std::is_same_v<std::decay_t<decltype(graph)>, KG::Wide>; });
}

// The graph of tab-separated `text`, read as the constructor reads a file.
inline KG graph_of_text(std::string_view text, IdWidth width = IdWidth::kNarrowest, const InterruptPoll& poll = {}) {
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

// The label of relation `relation`.
template <class Id>
std::string_view relation_label(const BasicGraph<Id>& graph, std::uint64_t relation) {
  return graph.relation_labels()[relation];
}

}  // namespace vantrel
