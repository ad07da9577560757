#include "graph/sampler_restriction.hpp"

#include <memory>
#include <type_traits>

namespace vantrel {

Restriction combined_restriction(const KG& kg, const Restriction& requested) {
  Restriction combined =
      restriction_of_listed(kg.visit([](const auto& graph) { return graph.direction(); }), requested);
  for (std::size_t relation = 0; relation < combined.relations.size(); ++relation) {
    const bool before = !kg.restriction() || kg.restriction()->relations[relation];
    combined.relations[relation] = before && combined.relations[relation];
  }
  return combined;
}

KG restrict_graph(const KG& kg, const Restriction& restriction, const InterruptPoll& poll) {
  KG restricted(restricted_graph(kg.graph(), restriction, poll));
  return KG::restricted_from(std::move(restricted), kg.shared_source(),
                             std::make_shared<const Restriction>(combined_restriction(kg, restriction)));
}

void check_restricted_from_source(const KG& kg) {
  kg.visit([&](const auto& graph) {
    using Id = typename std::decay_t<decltype(graph)>::IdType;
    for_each_kept_entry<Id>(kg, {}, [](std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t) {});
  });
}

}  // namespace vantrel
