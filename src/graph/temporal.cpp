#include "graph/temporal.hpp"

#include <algorithm>
#include <iterator>
#include <numeric>
#include <vector>

#include "core/parallel.hpp"
#include "graph/entry_triples.hpp"
#include "graph/layout.hpp"
#include "graph/sampled_search.hpp"

namespace vantrel {

namespace {

constexpr std::uint64_t kTriplesPerTask = std::uint64_t{1} << 16;

// The distinct times of `times`, the earliest first: equal times (0.0 and
// -0.0 among them) once. Pieces are sorted and made distinct on every CPU,
// then merged in pairs, each round's pairs on every CPU.
template <class Time>
std::vector<Time> distinct_times(const Time* times, std::uint64_t count, const InterruptPoll& poll) {
  constexpr std::uint64_t kMostPieces = 64;
  const std::uint64_t pieces = std::clamp<std::uint64_t>(count / kTriplesPerTask, 1, kMostPieces);
  std::vector<std::vector<Time>> runs(pieces);
  run_tasks(
      pieces, available_cpus(),
      [&](std::uint64_t piece, const InterruptPoll&) {
        std::vector<Time>& run = runs[piece];
        run.assign(times + count * piece / pieces, times + count * (piece + 1) / pieces);
        std::sort(run.begin(), run.end());
        run.erase(std::unique(run.begin(), run.end()), run.end());
        run.shrink_to_fit();
      },
      poll);
  while (runs.size() > 1) {
    std::vector<std::vector<Time>> merged((runs.size() + 1) / 2);
    run_tasks(
        merged.size(), available_cpus(),
        [&](std::uint64_t pair, const InterruptPoll&) {
          std::vector<Time>& first = runs[2 * pair];
          if (2 * pair + 1 == runs.size()) {
            merged[pair] = std::move(first);
            return;
          }
          std::vector<Time>& second = runs[2 * pair + 1];
          // Each run is distinct: a time in both is taken once.
          merged[pair].reserve(first.size() + second.size());
          std::set_union(first.begin(), first.end(), second.begin(), second.end(), std::back_inserter(merged[pair]));
          std::vector<Time>().swap(first);
          std::vector<Time>().swap(second);
        },
        poll);
    runs = std::move(merged);
  }
  runs[0].shrink_to_fit();
  return std::move(runs[0]);
}

// The rank among `distinct` of each of the `count` times, on every CPU.
// Each search reads every kSampleStride-th distinct time, which stay in
// cache, and then one stride, whose lines it asks for at once.
template <class Id, class Time>
ArrayRegion<Id> time_ranks(const Time* times, std::uint64_t count, const std::vector<Time>& distinct,
                           const InterruptPoll& poll) {
  constexpr std::uint64_t kStride = Temporal::kSampleStride;
  std::vector<Time> samples((distinct.size() + kStride - 1) / kStride);
  for (std::uint64_t k = 0; k < samples.size(); ++k) samples[k] = distinct[k * kStride];
  auto ranks = ArrayRegion<Id>::allocate(count);
  run_tasks((count + kTriplesPerTask - 1) / kTriplesPerTask, available_cpus(),
            [&](std::uint64_t task, const InterruptPoll&) {
              const std::uint64_t first = task * kTriplesPerTask;
              for (std::uint64_t triple = first; triple < std::min(count, first + kTriplesPerTask); ++triple) {
                const Time time = times[triple];
                ranks.mutable_data()[triple] = static_cast<Id>(first_sampled(
                    samples.data(), 0, distinct.size(), [&](std::uint64_t rank) { return &distinct[rank]; },
                    [time](Time other) { return other < time; }));
              }
            },
            poll);
  return ranks;
}

// For each rank r of `distinct`: forward, the first rank beyond the window
// after r, where a step's run ends; backward, the first rank within the
// window before r, where it begins. The distance from a time to a later one
// grows with the later one and shrinks as the earlier one grows (rounding
// keeps that order), so both bounds move up with r, and one pass finds them.
template <class Id, class Time, class Window>
ArrayRegion<Id> window_bounds(const std::vector<Time>& distinct, TimeDirection direction, Window window) {
  auto bounds = ArrayRegion<Id>::allocate(distinct.size());
  const std::uint64_t count = distinct.size();
  std::uint64_t bound = 0;
  for (std::uint64_t rank = 0; rank < count; ++rank) {
    if (direction == TimeDirection::kForward) {
      bound = std::max(bound, rank);
      while (bound < count && within_window(distinct[bound], distinct[rank], window)) ++bound;
    } else {
      while (!within_window(distinct[rank], distinct[bound], window)) ++bound;
    }
    bounds.mutable_data()[rank] = static_cast<Id>(bound);
  }
  return bounds;
}

template <class Id, class Time>
std::shared_ptr<const Temporal> index_entries(const BasicGraph<Id>& graph, const KG& kg, const TemporalRule& rule,
                                              std::shared_ptr<const TripleTimes> shared_times,
                                              const InterruptPoll& poll) {
  const ArrayRegion<Time>& times = std::get<ArrayRegion<Time>>(*shared_times);
  const Time* triple_times = times.data();
  ArrayRegion<Id> bounds;
  ArrayRegion<Id> rank_of_triple;
  {
    const std::vector<Time> distinct = distinct_times(triple_times, times.size(), poll);
    if (rule.window) bounds = window_bounds<Id>(distinct, rule.direction, window_in_time_units<Time>(*rule.window));
    rank_of_triple = time_ranks<Id>(triple_times, times.size(), distinct, poll);
  }
  const Id* rank_of = rank_of_triple.data();
  const EntryTriples triples = entry_triples(kg, poll);
  const Id* triple_of = triples.data<Id>();
  // By cell, headers' cells unused, so that a node's index starts where its block does.
  const std::uint64_t cells = graph.cells().size();
  auto entries = ArrayRegion<TimedEntry<Id>>::allocate(cells);
  auto places = ArrayRegion<Id>::allocate(entry_count(cells, graph.node_count()));
  ArrayRegion<double> sums;
  if (rule.decay) sums = ArrayRegion<double>::allocate(cells);
  const Cell<Id>* graph_cells = graph.cells().data();
  for_node_ranges(graph.node_count(), poll, [&](std::uint64_t begin, std::uint64_t end) {
    std::vector<Id> sorted;
    for (std::uint64_t node = begin; node < end; ++node) {
      const std::uint64_t block = graph.blocks()[node];
      TimedEntry<Id>* index = entries.mutable_data() + block + 1;
      const std::uint64_t base = first_entry(block, node);
      Id* place_of = places.mutable_data() + base;
      const std::uint64_t count = degree(graph_cells[block].header);
      entries.mutable_data()[block] = {};
      if (rule.decay) sums.mutable_data()[block] = 0.0;
      if (count == 0) continue;
      sorted.resize(count);
      std::iota(sorted.begin(), sorted.end(), Id{0});
      auto rank = [&](Id k) { return rank_of[triple_of[base + k]]; };
      // Ranks order as times do. Facts most often come in time order
      // already: sorting then only checks them.
      auto earlier = [&](Id a, Id b) {
        const Id ra = rank(a);
        const Id rb = rank(b);
        return ra != rb ? ra < rb : a < b;
      };
      if (!std::is_sorted(sorted.begin(), sorted.end(), earlier)) std::sort(sorted.begin(), sorted.end(), earlier);
      for (std::uint64_t place = 0; place < count; ++place) {
        index[place].rank = rank(sorted[place]);
        index[place].entry = sorted[place];
        place_of[sorted[place]] = static_cast<Id>(place);
      }
      if (!rule.decay) continue;
      // Weights relative to the node's first time going forward, its last
      // going backward, summed in float64 in time order.
      const bool forward = rule.direction == TimeDirection::kForward;
      auto time_at = [&](std::uint64_t place) { return triple_times[triple_of[base + sorted[place]]]; };
      const Time origin = forward ? time_at(0) : time_at(count - 1);
      double* running_sums = sums.mutable_data() + block + 1;
      double running = 0.0;
      for (std::uint64_t place = 0; place < count; ++place) {
        const double distance = forward ? time_distance(time_at(place), origin) : time_distance(origin, time_at(place));
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
      TimedEntry<Id>* index = entries.mutable_data() + block + 1;
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
        const std::uint64_t far_node = graph_cells[edge.block].header.node;
        index[place].far_place =
            listed_there ? places.data()[first_entry(edge.block, far_node) + arrived] : TimedEntry<Id>::kNowhere;
      }
    }
  });
  constexpr std::uint64_t kStride = Temporal::kSampleStride;
  const std::uint64_t samples = (cells + kStride - 1) / kStride;
  auto rank_samples = ArrayRegion<Id>::allocate(samples);
  ArrayRegion<double> sum_samples;
  if (rule.decay) sum_samples = ArrayRegion<double>::allocate(samples);
  for (std::uint64_t k = 0; k < samples; ++k) {
    rank_samples.mutable_data()[k] = entries.data()[k * kStride].rank;
    if (rule.decay) sum_samples.mutable_data()[k] = sums.data()[k * kStride];
  }
  return std::make_shared<const Temporal>(rule, std::move(shared_times), std::move(entries), std::move(places),
                                          std::move(sums), std::move(rank_samples), std::move(sum_samples),
                                          std::move(bounds));
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
