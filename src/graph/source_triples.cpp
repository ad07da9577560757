#include "graph/source_triples.hpp"

#include "graph/layout.hpp"

namespace vantrel {

namespace {

// For each forward entry of `source`, the number of its triple in input
// order, at the entry's number (backward entries' slots are left alone).
template <class Id>
ArrayRegion<Id> forward_triple_numbers(const BasicGraph<Id>& source, const InterruptPoll& poll) {
  auto numbers = ArrayRegion<Id>::allocate(entry_count(source.cells().size(), source.node_count()));
  Id* out = numbers.mutable_data();
  for_each_forward_triple(source, poll,
                          [out](std::uint64_t entry, std::uint64_t triple) { out[entry] = static_cast<Id>(triple); });
  return numbers;
}

}  // namespace

bool knows_source_triples(const KG& kg) {
  return kg.source().visit([](const auto& source) { return lists_its_triples(source); });
}

template <class Token>
void source_triple_table(const KG& kg, Token* out, const InterruptPoll& poll) {
  kg.source().visit([&](const auto& source) {
    using Id = typename std::decay_t<decltype(source)>::IdType;
    require_triples(source);
    const ArrayRegion<Id> numbers = forward_triple_numbers(source, poll);
    const Cell<Id>* cells = source.cells().data();
    for_node_ranges(source.node_count(), poll, [&](std::uint64_t begin, std::uint64_t end) {
      for (std::uint64_t u = begin; u < end; ++u) {
        const std::uint64_t block = source.blocks()[u];
        for (std::uint64_t k = 0; k < cells[block].header.forward_count; ++k) {
          const EdgeCell<Id>& edge = cells[entry_cell(block, k)].edge;
          Token* row = out + 3 * std::uint64_t{numbers[first_entry(block, u) + k]};
          row[0] = static_cast<Token>(u);
          row[1] = static_cast<Token>(edge.relation);
          row[2] = static_cast<Token>(cells[edge.block].header.node);
        }
      }
    });
  });
}

template void source_triple_table(const KG&, std::uint32_t*, const InterruptPoll&);
template void source_triple_table(const KG&, std::uint64_t*, const InterruptPoll&);

}  // namespace vantrel
