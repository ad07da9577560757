// The graph as read, as triples: a sampler's source graph lists each triple
// once forward (at its head) and once backward (at its tail); its triples'
// heads, in input order, number them. What triple_ids() gives, and what edge
// weights (one per triple) are matched to.
#pragma once

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/interrupt.hpp"
#include "core/parallel.hpp"
#include "graph/kg.hpp"

namespace vantrel {

// Why a sampler cannot list the triples of its graph as read.
inline constexpr const char* kSourceTriplesUnknown =
    "it was loaded from a snapshot of a graph restricted to one direction, written by an earlier version";

// Whether a graph as read can list its triples: it holds both copies of
// each edge (a graph built, or loaded from any snapshot but one of a graph
// restricted to one direction, written before snapshots kept the source).
template <class Id>
bool lists_its_triples(const BasicGraph<Id>& source) {
  return source.direction() == Direction::kBoth;
}

// Throws std::invalid_argument unless the graph as read can list its triples.
template <class Id>
void require_triples(const BasicGraph<Id>& source) {
  if (!lists_its_triples(source)) {
    throw std::invalid_argument(std::string("this sampler does not know the graph as read: ") + kSourceTriplesUnknown);
  }
}

// Node ranges of about equal numbers of entries, one per part, for work
// that each thread does for its own nodes while it reads a whole array.
template <class Id>
std::vector<std::uint64_t> balanced_node_ranges(const BasicGraph<Id>& graph, unsigned parts) {
  std::vector<std::uint64_t> bounds = {0};
  const std::uint64_t cells = graph.cells().size();
  const Id* blocks = graph.blocks().data();
  for (unsigned part = 1; part < parts; ++part) {
    const std::uint64_t target = cells / parts * part;
    bounds.push_back(
        static_cast<std::uint64_t>(std::lower_bound(blocks, blocks + graph.node_count(), target) - blocks));
  }
  bounds.push_back(graph.node_count());
  return bounds;
}

// Calls visit(entry, triple) for each forward entry of the runs
// [first_run, end_run) of `source`'s head runs, the first being triple
// `triple`; returns the triple after the last.
template <class Id, class Visit>
std::uint64_t visit_head_runs(const BasicGraph<Id>& source, std::uint64_t first_run, std::uint64_t end_run,
                              std::uint64_t triple, const InterruptPoll& poll, Visit&& visit) {
  const Cell<Id>* cells = source.cells().data();
  const Id* blocks = source.blocks().data();
  const Id* runs = source.head_runs().data();
  PollingMeter meter(poll);
  for (std::uint64_t run = first_run; run < end_run; ++run) {
    const std::uint64_t head = runs[run];
    const std::uint64_t forward_count = cells[blocks[head]].header.forward_count;
    for (std::uint64_t k = 0; k < forward_count; ++k) visit(first_entry(blocks[head], head) + k, triple++);
    meter.add(forward_count + 1);
  }
  return triple;
}

// Calls visit(entry, triple) for each forward entry of `source` (a graph
// as read), with the number of its triple in input order, on every CPU:
// from the heads of the triples, where each thread reads them all and
// visits the entries of its own nodes, in input order; or from the heads
// of their runs, where they came grouped by head, each thread taking a part
// of the runs. A graph that does not know its order (a snapshot written
// before it was recorded) numbers its triples by head node.
template <class Id, class Visit>
void for_each_forward_triple(const BasicGraph<Id>& source, const InterruptPoll& poll, Visit&& visit) {
  const Cell<Id>* cells = source.cells().data();
  const Id* blocks = source.blocks().data();
  const ArrayRegion<Id>& heads = source.heads();
  if (const std::uint64_t runs = source.head_runs().size(); runs != 0) {
    const unsigned parts = available_cpus();
    const std::uint64_t runs_per_part = (runs + parts - 1) / parts;
    auto part_runs = [&](std::uint64_t part) {
      return std::pair(std::min(runs, part * runs_per_part), std::min(runs, (part + 1) * runs_per_part));
    };
    // Each part's triples, counted first, say where its first run starts.
    std::vector<std::uint64_t> first_triple(parts + 1, 0);
    run_tasks(
        parts, parts,
        [&](std::uint64_t part, const InterruptPoll& task_poll) {
          const auto [first, end] = part_runs(part);
          first_triple[part + 1] =
              visit_head_runs(source, first, end, 0, task_poll, [](std::uint64_t, std::uint64_t) {});
        },
        poll);
    for (unsigned part = 0; part < parts; ++part) first_triple[part + 1] += first_triple[part];
    run_tasks(
        parts, parts,
        [&](std::uint64_t part, const InterruptPoll& task_poll) {
          const auto [first, end] = part_runs(part);
          visit_head_runs(source, first, end, first_triple[part], task_poll, visit);
        },
        poll);
    return;
  }
  if (heads.empty()) {
    std::uint64_t triple = 0;
    for (std::uint64_t node = 0; node < source.node_count(); ++node) {
      for (std::uint64_t k = 0; k < cells[blocks[node]].header.forward_count; ++k) {
        visit(first_entry(blocks[node], node) + k, triple++);
      }
    }
    return;
  }
  const std::vector<std::uint64_t> bounds = balanced_node_ranges(source, available_cpus());
  run_tasks(
      bounds.size() - 1, available_cpus(),
      [&](std::uint64_t part, const InterruptPoll& task_poll) {
        const std::uint64_t first = bounds[part];
        const std::uint64_t last = bounds[part + 1];
        std::vector<Id> rank(last - first, 0);
        for (std::uint64_t triple = 0; triple < heads.size(); ++triple) {
          const std::uint64_t head = heads[triple];
          if (head < first || head >= last) continue;
          const std::uint64_t k = rank[head - first]++;
          if (k >= cells[blocks[head]].header.forward_count) {
            throw std::logic_error("the heads of the triples do not match the graph");
          }
          visit(first_entry(blocks[head], head) + k, triple);
          if (triple % kItemsPerPoll == 0) task_poll();
        }
      },
      poll);
}

// The head of every triple of `source` (a graph as read) in input order,
// as heads() gives it where it keeps them: made from its head runs where it
// keeps those instead. Empty where it keeps neither.
template <class Id>
ArrayRegion<Id> heads_in_input_order(const BasicGraph<Id>& source, const InterruptPoll& poll) {
  const ArrayRegion<Id>& runs = source.head_runs();
  if (runs.empty()) return source.heads().share();
  auto heads = ArrayRegion<Id>::allocate(source.edge_count());
  Id* out = heads.mutable_data();
  PollingMeter meter(poll);
  for (const Id head : runs.span()) {
    const std::uint64_t forward_count = source.cells()[source.blocks()[head]].header.forward_count;
    out = std::fill_n(out, forward_count, head);
    meter.add(forward_count + 1);
  }
  return heads;
}

// Whether kg.source() can list its triples: a graph as read, or a
// snapshot of one. A snapshot of a restricted graph of one direction,
// written before snapshots recorded the graph as read, cannot.
bool knows_source_triples(const KG& kg);

// Writes the triples of the graph as read (kg.source()) to `out`, three
// ids a row (head, relation, tail), a row per triple in input order; a
// graph that does not know its order (a snapshot written before it was
// recorded) numbers its triples by head node. Throws std::invalid_argument
// unless knows_source_triples(kg).
template <class Token>
void source_triple_table(const KG& kg, Token* out, const InterruptPoll& poll = {});

}  // namespace vantrel
