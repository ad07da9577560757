// A sampler's restricted graph: the plain restriction of the graph it walks
// (graph/restriction), with the graph as read and the restriction of it
// that give the new graph; and which entry of the graph as read each entry
// of a restricted graph is.
#pragma once

#include <cstdint>
#include <stdexcept>

#include "core/interrupt.hpp"
#include "graph/kg.hpp"
#include "graph/layout.hpp"
#include "graph/restriction.hpp"
#include "graph/source_triples.hpp"

namespace vantrel {

// The graph of `kg` restricted to `restriction` (restricted_graph), which
// knows the graph as read (kg.source()) and the restriction of it that
// gives the new graph. The new graph is walked uniformly. Throws
// std::bad_alloc.
KG restrict_graph(const KG& kg, const Restriction& restriction, const InterruptPoll& poll = {});

// The restriction of kg.source() that gives kg restricted to `requested`.
Restriction combined_restriction(const KG& kg, const Restriction& requested);

// Checks that a restricted graph is what its restriction keeps of its
// source, entry by entry; throws std::logic_error where it is not.
void check_restricted_from_source(const KG& kg);

// Calls visit(source_entry, entry, relation, far_node) for every entry of
// the graph `kg` walks, on every CPU, a node's entries on one thread: the
// number of the entry of the graph as read that it is, its own number in
// the walked graph (entries numbered as graph/layout.hpp says), and the node it
// leads to. Throws std::invalid_argument where the graph as read cannot
// list its triples, std::logic_error where the two graphs disagree.
template <class Id, class Visit>
void for_each_kept_entry(const KG& kg, const InterruptPoll& poll, Visit&& visit) {
  const BasicGraph<Id>& graph = kg.as<Id>();
  const BasicGraph<Id>& source = kg.source().as<Id>();
  require_triples(source);
  const Restriction* restriction = kg.restriction();
  const Cell<Id>* source_cells = source.cells().data();
  const Cell<Id>* cells = graph.cells().data();
  auto disagree = [] { throw std::logic_error("a restricted graph does not match the graph it was restricted from"); };
  const bool is_source = &graph == &source;
  const std::uint64_t source_cell_count = source.cells().size();
  // A node's entries in the walked graph are its source entries that the
  // restriction keeps, in order: each is checked to be the same edge.
  for_node_ranges(graph.node_count(), poll, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t u = begin; u < end; ++u) {
      // The far ends' headers are read at random: the ones a block or so
      // ahead are asked for now, so that the reads overlap.
      constexpr std::uint64_t kAhead = 32;
      const std::uint64_t source_block = source.blocks()[u];
      const HeaderCell<Id>& source_header = source_cells[source_block].header;
      const std::uint64_t block = graph.blocks()[u];
      const HeaderCell<Id>& header = cells[block].header;
      const std::uint64_t listed = degree(header);
      std::uint64_t kept[2] = {0, 0};  // forward, backward
      for (std::uint64_t k = 0; k < degree(source_header); ++k) {
        const bool forward = k < source_header.forward_count;
        const std::uint64_t cell = entry_cell(source_block, k);
        if (cell + kAhead < source_cell_count) {
          const std::uint64_t ahead = source_cells[cell + kAhead].edge.block;  // a count, where a header: harmless
          if (ahead < source_cell_count) __builtin_prefetch(&source_cells[ahead]);
        }
        const EdgeCell<Id>& edge = source_cells[cell].edge;
        if (restriction && !restriction->keeps(edge.relation, forward)) continue;
        const std::uint64_t far_node = source_cells[edge.block].header.node;
        const std::uint64_t listed_k = forward ? kept[0]++ : header.forward_count + kept[1]++;
        if ((forward ? kept[0] > header.forward_count : kept[1] > header.backward_count) || listed_k >= listed) {
          disagree();
        }
        if (!is_source) {
          const EdgeCell<Id>& listed = cells[entry_cell(block, listed_k)].edge;
          if (listed.relation != edge.relation || cells[listed.block].header.node != far_node) disagree();
        }
        visit(first_entry(source_block, u) + k, first_entry(block, u) + listed_k, std::uint64_t{edge.relation},
              far_node);
      }
      if (kept[0] != header.forward_count || kept[1] != header.backward_count) disagree();
    }
  });
}

}  // namespace vantrel
