#include "graph/id_graph.hpp"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "graph/head_runs.hpp"
#include "graph/layout.hpp"

namespace vantrel {

std::optional<std::pair<std::uint64_t, std::uint64_t>> first_repeat(const LabelList& labels) {
  const LabelIndex index(labels);
  for (std::uint64_t id = 0; id < labels.size(); ++id) {
    const std::uint64_t first = *index.find(labels[id]);  // the lowest id of that text
    if (first != id) return std::pair{id, first};
  }
  return std::nullopt;
}

namespace {

[[noreturn]] void out_of_range(const IdTriples& triples, std::uint64_t row, unsigned column, std::uint64_t count) {
  const char* kind = column == 1 ? "relation" : "node";
  std::string message = "triples[" + std::to_string(row) + ", " + std::to_string(column) + "] = ";
  const StoredInteger value = triples.at(row, column);
  if (value.negative) {
    throw IdRangeError(message + std::to_string(static_cast<std::int64_t>(value.bits)) + " is not a " + kind +
                       " id: ids are not negative");
  }
  message += std::to_string(value.bits) + " is not a " + kind + " id: ";
  if (count == 0) throw IdRangeError(message + "there are no " + kind + " labels");
  throw IdRangeError(message + kind + " ids run from 0 to " + std::to_string(count - 1));
}

template <class Id>
BasicGraph<Id> lay_out(const IdTriples& triples, LabelList node_labels, LabelList relation_labels,
                       const InterruptPoll& poll) {
  const std::uint64_t node_count = node_labels.size();
  const std::uint64_t edge_count = triples.rows;
  struct Counts {
    Id forward;
    Id backward;
  };
  // The array may change under us (another thread writing to it): every
  // read is checked again, so that a change fails instead of writing out of bounds.
  auto id = [&](std::uint64_t row, unsigned column, std::uint64_t count) {
    const StoredInteger value = triples.at(row, column);
    if (value.negative || value.bits >= count)
      throw IdRangeError("triples changed while the graph was built from them");
    return value.bits;
  };
  const std::uint64_t relation_count = relation_labels.size();
  std::vector<Counts> counts(node_count, Counts{0, 0});
  std::uint64_t run_count = 0;  // of equal heads
  for (std::uint64_t e = 0, head = 0; e < edge_count; ++e) {
    if (e % kItemsPerPoll == kItemsPerPoll - 1 && poll) poll();
    const std::uint64_t previous = head;
    head = id(e, 0, node_count);
    run_count += e == 0 || head != previous;
    ++counts[head].forward;
    ++counts[id(e, 2, node_count)].backward;
  }
  // Rows grouped by head keep their order as the heads of their runs, and
  // no row's own head is kept (graph/head_runs).
  const std::uint64_t heading_nodes = static_cast<std::uint64_t>(
      std::count_if(counts.begin(), counts.end(), [](const Counts& c) { return c.forward != 0; }));
  const bool grouped = keeps_head_runs(edge_count, run_count, heading_nodes);
  bool may_lack_edges = false;
  auto cell_region = ArrayRegion<Cell<Id>>::allocate(node_count + 2 * edge_count);
  auto block_region = ArrayRegion<Id>::allocate(node_count);
  Cell<Id>* const cells = cell_region.mutable_data();
  Id* const block_of = block_region.mutable_data();
  for (std::uint64_t n = 0; n < node_count; ++n) {
    block_of[n] = static_cast<Id>(block_cells(counts[n].forward, counts[n].backward));
  }
  block_starts_from_sizes(block_of, node_count);
  for (std::uint64_t n = 0; n < node_count; ++n) {
    cells[block_of[n]].header = {counts[n].forward, counts[n].backward, static_cast<Id>(n)};
    may_lack_edges = may_lack_edges || (counts[n].forward == 0 && counts[n].backward == 0);
    counts[n] = {0, 0};  // now: the entries placed so far
  }
  // Rows go in in order, so each list ascends, as in a graph built from text.
  // Which relations have edges is noted from what is placed: a row that
  // changed since it was counted must not leave a relation without the
  // edge the graph claims it has.
  std::vector<bool> relation_used(relation_count, false);
  auto head_region = ArrayRegion<Id>::allocate(grouped ? 0 : edge_count);
  auto run_region = ArrayRegion<Id>::allocate(grouped ? run_count : 0);
  Id* const heads = head_region.mutable_data();
  Id* const runs = run_region.mutable_data();
  std::uint64_t runs_placed = 0;
  for (std::uint64_t e = 0; e < edge_count; ++e) {
    if (e % kItemsPerPoll == kItemsPerPoll - 1 && poll) poll();
    const std::uint64_t src = id(e, 0, node_count);
    if (!grouped) {
      heads[e] = static_cast<Id>(src);
    } else if (e == 0 || src != runs[runs_placed - 1]) {
      // A run of a head with rows placed before, or a run too many: the
      // rows are no longer grouped as they were counted.
      if (counts[src].forward != 0 || runs_placed == run_count) {
        throw IdRangeError("triples changed while the graph was built from them");
      }
      runs[runs_placed++] = static_cast<Id>(src);
    }
    const auto relation = static_cast<Id>(id(e, 1, relation_count));
    relation_used[relation] = true;
    const std::uint64_t dst = id(e, 2, node_count);
    const Id src_block = block_of[src];
    const Id dst_block = block_of[dst];
    const Id fwd_position = counts[src].forward++;
    const Id rev_position = counts[dst].backward++;
    if (fwd_position >= cells[src_block].header.forward_count ||
        rev_position >= cells[dst_block].header.backward_count) {
      throw IdRangeError("triples changed while the graph was built from them");
    }
    cells[entry_cell(src_block, fwd_position)].edge = {dst_block, relation, rev_position};
    cells[twin_cell(dst_block, cells[dst_block].header.forward_count, true, rev_position)].edge = {src_block, relation,
                                                                                                   fwd_position};
  }
  may_lack_edges =
      may_lack_edges || std::find(relation_used.begin(), relation_used.end(), false) != relation_used.end();
  if (grouped && runs_placed != run_count) throw IdRangeError("triples changed while the graph was built from them");
  return BasicGraph<Id>(std::move(cell_region), std::move(block_region), std::move(node_labels),
                        std::move(relation_labels), Direction::kBoth, may_lack_edges, std::move(head_region),
                        std::move(run_region));
}

}  // namespace

AnyGraph graph_from_ids(const IdTriples& triples, LabelList node_labels, LabelList relation_labels,
                        const InterruptPoll& poll) {
  const std::uint64_t node_count = node_labels.size();
  const std::uint64_t relation_count = relation_labels.size();
  // A graph that could never fit is refused before its rows are read (an
  // array of 2^40 broadcast rows takes no memory, and long to read).
  if (triples.rows > (UINT64_MAX - node_count) / 2) throw std::bad_alloc();
  ensure_fits_in_memory(node_count + 2 * triples.rows, sizeof(Cell<std::uint32_t>));
  for (std::uint64_t row = 0; row < triples.rows; ++row) {
    if (row % kItemsPerPoll == kItemsPerPoll - 1 && poll) poll();
    for (unsigned column = 0; column < 3; ++column) {
      const std::uint64_t count = column == 1 ? relation_count : node_count;
      const StoredInteger value = triples.at(row, column);
      if (value.negative || value.bits >= count) out_of_range(triples, row, column, count);
    }
  }
  const std::uint64_t cells = node_count + 2 * triples.rows;
  if (fits_32_bit_ids(cells, relation_count)) {
    return lay_out<std::uint32_t>(triples, std::move(node_labels), std::move(relation_labels), poll);
  }
  return lay_out<std::uint64_t>(triples, std::move(node_labels), std::move(relation_labels), poll);
}

}  // namespace vantrel
