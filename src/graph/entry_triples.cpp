#include "graph/entry_triples.hpp"

#include "graph/layout.hpp"
#include "graph/sampler_restriction.hpp"
#include "graph/source_triples.hpp"

namespace vantrel {

namespace {

// The triple of each entry of `source`, a graph as read: a forward entry's
// by input order, a backward entry's that of its twin at the head.
template <class Id>
ArrayRegion<Id> source_entry_triples(const BasicGraph<Id>& source, const InterruptPoll& poll) {
  require_triples(source);
  auto triples = ArrayRegion<Id>::allocate(source.entry_count());
  Id* out = triples.mutable_data();
  for_each_forward_triple(source, poll,
                          [out](std::uint64_t entry, std::uint64_t triple) { out[entry] = static_cast<Id>(triple); });
  const Cell<Id>* cells = source.cells().data();
  for_node_ranges(source.node_count(), poll, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t u = begin; u < end; ++u) {
      const std::uint64_t block = source.blocks()[u];
      const HeaderCell<Id>& header = cells[block].header;
      for (std::uint64_t k = header.forward_count; k < degree(header); ++k) {
        const EdgeCell<Id>& edge = cells[entry_cell(block, k)].edge;
        const std::uint64_t head = cells[edge.block].header.node;
        out[first_entry(block, u) + k] = out[first_entry(edge.block, head) + edge.twin];
      }
    }
  });
  return triples;
}

}  // namespace

EntryTriples entry_triples(const KG& kg, const InterruptPoll& poll) {
  return kg.visit([&](const auto& graph) {
    using Id = typename std::decay_t<decltype(graph)>::IdType;
    ArrayRegion<Id> of_source = source_entry_triples(kg.source().template as<Id>(), poll);
    if (!kg.restriction()) return EntryTriples(std::move(of_source));
    auto triples = ArrayRegion<Id>::allocate(graph.entry_count());
    Id* out = triples.mutable_data();
    const Id* from = of_source.data();
    for_each_kept_entry<Id>(kg, poll,
                            [&](std::uint64_t source_entry, std::uint64_t entry, std::uint64_t, std::uint64_t) {
                              out[entry] = from[source_entry];
                            });
    return EntryTriples(std::move(triples));
  });
}

}  // namespace vantrel
