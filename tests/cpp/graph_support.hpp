// What the C++ tests ask of a graph that the module itself never does.
#pragma once

#include <cstdint>
#include <string_view>
#include <type_traits>

#include "graph.hpp"

namespace vantrel {

// Whether the graph was built with 64-bit ids.
inline bool is_wide(const KG& kg) {
  return kg.visit([](const auto& graph) { return std::is_same_v<std::decay_t<decltype(graph)>, KG::Wide>; });
}

// The label of relation `relation`.
template <class Id>
std::string_view relation_label(const BasicGraph<Id>& graph, std::uint64_t relation) {
  return graph.relation_labels()[relation];
}

}  // namespace vantrel
