#include "graph/metapath.hpp"

#include <algorithm>
#include <numeric>

#include "graph/kg.hpp"
#include "graph/layout.hpp"

namespace vantrel {

namespace {

template <class Id>
ArrayRegion<Id> order_entries(const BasicGraph<Id>& graph, const InterruptPoll& poll) {
  const Cell<Id>* cells = graph.cells().data();
  auto order = ArrayRegion<Id>::allocate(graph.entry_count());
  Id* out = order.mutable_data();
  for_node_ranges(graph.node_count(), poll, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t node = begin; node < end; ++node) {
      const std::uint64_t block = graph.blocks()[node];
      const HeaderCell<Id>& header = cells[block].header;
      const std::uint64_t forward_count = header.forward_count;
      Id* entries = out + first_entry(block, node);
      const std::uint64_t count = degree(header);
      std::iota(entries, entries + count, Id{0});
      auto key_of = [&](std::uint64_t k) -> StepKey {
        return 2 * StepKey{cells[entry_cell(block, k)].edge.relation} + (k < forward_count ? 0 : 1);
      };
      // Entries come in input order, most often already grouped: sorting
      // then only checks them.
      if (!std::is_sorted(entries, entries + count, [&](Id a, Id b) { return key_of(a) < key_of(b); })) {
        std::sort(entries, entries + count, [&](Id a, Id b) {
          const StepKey ka = key_of(a);
          const StepKey kb = key_of(b);
          return ka != kb ? ka < kb : a < b;
        });
      }
    }
  });
  return order;
}

}  // namespace

std::shared_ptr<const Metapath> make_metapath(const KG& kg, std::vector<StepKey> pattern, const InterruptPoll& poll) {
  return kg.visit([&](const auto& graph) {
    return std::make_shared<const Metapath>(std::move(pattern), order_entries(graph, poll));
  });
}

}  // namespace vantrel
