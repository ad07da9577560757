#include "graph/temporal.hpp"

#include <algorithm>
#include <numeric>
#include <vector>

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
  // By cell, headers' cells unused, so that a node's index starts where its block does.
  const std::uint64_t cells = graph.cells().size();
  auto entries = ArrayRegion<TimedEntry<Id, Time>>::allocate(cells);
  auto places = ArrayRegion<Id>::allocate(cells);
  ArrayRegion<double> sums;
  if (rule.decay) sums = ArrayRegion<double>::allocate(cells);
  const Cell<Id>* graph_cells = graph.cells().data();
  for_node_ranges(graph.node_count(), poll, [&](std::uint64_t begin, std::uint64_t end) {
    std::vector<Id> sorted;
    for (std::uint64_t node = begin; node < end; ++node) {
      const std::uint64_t block = graph.blocks()[node];
      TimedEntry<Id, Time>* index = entries.mutable_data() + block + 1;
      Id* place_of = places.mutable_data() + block + 1;
      const std::uint64_t count = degree(graph_cells[block].header);
      entries.mutable_data()[block] = {};
      places.mutable_data()[block] = 0;
      if (rule.decay) sums.mutable_data()[block] = 0.0;
      if (count == 0) continue;
      const std::uint64_t base = first_entry(block, node);
      sorted.resize(count);
      std::iota(sorted.begin(), sorted.end(), Id{0});
      auto time_of = [&](Id k) { return triple_times[triple_of[base + k]]; };
      // Facts most often come in time order already: sorting then only checks them.
      auto earlier = [&](Id a, Id b) {
        const Time ta = time_of(a);
        const Time tb = time_of(b);
        return ta != tb ? ta < tb : a < b;
      };
      if (!std::is_sorted(sorted.begin(), sorted.end(), earlier)) std::sort(sorted.begin(), sorted.end(), earlier);
      for (std::uint64_t place = 0; place < count; ++place) {
        index[place].time = time_of(sorted[place]);
        index[place].entry = sorted[place];
        place_of[sorted[place]] = static_cast<Id>(place);
      }
      if (!rule.decay) continue;
      // Weights relative to the node's first time going forward, its last
      // going backward, summed in float64 in time order.
      const bool forward = rule.direction == TimeDirection::kForward;
      const Time origin = forward ? index[0].time : index[count - 1].time;
      double* running_sums = sums.mutable_data() + block + 1;
      double running = 0.0;
      for (std::uint64_t place = 0; place < count; ++place) {
        const double distance =
            forward ? time_distance(index[place].time, origin) : time_distance(origin, index[place].time);
        running = running + std::exp(-(distance / *rule.decay));
        running_sums[place] = running;
      }
    }
  });
  // Where each entry leads: the place, at the node at its other end, of the
  // entry a walk taking it arrives over there (as BasicGraph::follow()
  // records it).
  for_node_ranges(graph.node_count(), poll, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t node = begin; node < end; ++node) {
      const std::uint64_t block = graph.blocks()[node];
      const HeaderCell<Id>& header = graph_cells[block].header;
      TimedEntry<Id, Time>* index = entries.mutable_data() + block + 1;
      for (std::uint64_t place = 0; place < degree(header); ++place) {
        const std::uint64_t k = index[place].entry;
        const bool forward = k < header.forward_count;
        const EdgeCell<Id>& edge = graph_cells[entry_cell(block, k)].edge;
        const bool listed_there = edge.block == block || edge.twin != BasicGraph<Id>::kNoTwin;
        std::uint64_t arrived = 0;
        if (edge.block == block) {
          arrived = forward || edge.twin == BasicGraph<Id>::kNoTwin ? k : std::uint64_t{edge.twin};
        } else if (listed_there) {
          arrived = forward ? graph_cells[edge.block].header.forward_count + std::uint64_t{edge.twin} : edge.twin;
        }
        index[place].far_place =
            listed_there ? places.data()[edge.block + 1 + arrived] : TimedEntry<Id, Time>::kNowhere;
      }
    }
  });
  constexpr std::uint64_t kStride = Temporal::kSampleStride;
  const std::uint64_t samples = (cells + kStride - 1) / kStride;
  auto time_samples = ArrayRegion<Time>::allocate(samples);
  ArrayRegion<double> sum_samples;
  if (rule.decay) sum_samples = ArrayRegion<double>::allocate(samples);
  for (std::uint64_t k = 0; k < samples; ++k) {
    time_samples.mutable_data()[k] = entries.data()[k * kStride].time;
    if (rule.decay) sum_samples.mutable_data()[k] = sums.data()[k * kStride];
  }
  return std::make_shared<const Temporal>(rule, std::move(shared_times), std::move(entries), std::move(places),
                                          std::move(sums), std::move(time_samples), std::move(sum_samples));
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
