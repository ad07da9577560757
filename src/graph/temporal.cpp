#include "graph/temporal.hpp"

#include <algorithm>
#include <numeric>

#include "graph/entry_triples.hpp"
#include "graph/layout.hpp"

namespace vantrel {

namespace {

template <class Id, class Time>
std::shared_ptr<const Temporal> index_entries(const BasicGraph<Id>& graph, const KG& kg, const TemporalRule& rule,
                                              std::shared_ptr<const TripleTimes> shared_times,
                                              const InterruptPoll& poll) {
  const Time* triple_times = std::get<ArrayRegion<Time>>(*shared_times).data();
  const EntryTriples triples = entry_triples(kg, poll);
  const Id* triple_of = triples.data<Id>();
  const std::uint64_t entries = graph.entry_count();
  auto order = ArrayRegion<Id>::allocate(entries);
  auto rank = ArrayRegion<Id>::allocate(entries);
  auto times = ArrayRegion<Time>::allocate(entries);
  ArrayRegion<double> sums;
  if (rule.decay) sums = ArrayRegion<double>::allocate(entries);
  const Cell<Id>* cells = graph.cells().data();
  for_node_ranges(graph.node_count(), poll, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t node = begin; node < end; ++node) {
      const std::uint64_t block = graph.blocks()[node];
      const std::uint64_t count = degree(cells[block].header);
      if (count == 0) continue;
      const std::uint64_t base = first_entry(block, node);
      Id* sorted = order.mutable_data() + base;
      std::iota(sorted, sorted + count, Id{0});
      auto time_of = [&](Id k) { return triple_times[triple_of[base + k]]; };
      // Facts most often come in time order already: sorting then only checks them.
      auto earlier = [&](Id a, Id b) {
        const Time ta = time_of(a);
        const Time tb = time_of(b);
        return ta != tb ? ta < tb : a < b;
      };
      if (!std::is_sorted(sorted, sorted + count, earlier)) std::sort(sorted, sorted + count, earlier);
      Time* in_order = times.mutable_data() + base;
      for (std::uint64_t place = 0; place < count; ++place) {
        rank.mutable_data()[base + sorted[place]] = static_cast<Id>(place);
        in_order[place] = time_of(sorted[place]);
      }
      if (!rule.decay) continue;
      // Weights relative to the node's first time going forward, its last
      // going backward, summed in float64 in time order.
      const bool forward = rule.direction == TimeDirection::kForward;
      const Time origin = forward ? in_order[0] : in_order[count - 1];
      double running = 0.0;
      for (std::uint64_t place = 0; place < count; ++place) {
        const double distance =
            forward ? time_distance(in_order[place], origin) : time_distance(origin, in_order[place]);
        running = running + std::exp(-(distance / *rule.decay));
        sums.mutable_data()[base + place] = running;
      }
    }
  });
  return std::make_shared<const Temporal>(rule, std::move(shared_times), std::move(order), std::move(rank),
                                          std::move(times), std::move(sums));
}

}  // namespace

std::shared_ptr<const Temporal> make_temporal(const KG& kg, const TemporalRule& rule,
                                              std::shared_ptr<const TripleTimes> times, const InterruptPoll& poll) {
  return kg.visit([&](const auto& graph) {
    using Id = typename std::decay_t<decltype(graph)>::IdType;
    if (std::holds_alternative<ArrayRegion<std::int64_t>>(*times)) {
      return index_entries<Id, std::int64_t>(graph, kg, rule, std::move(times), poll);
    }
    return index_entries<Id, double>(graph, kg, rule, std::move(times), poll);
  });
}

}  // namespace vantrel
