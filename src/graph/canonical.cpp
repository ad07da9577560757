#include "graph/canonical.hpp"

#include <algorithm>
#include <array>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/parallel.hpp"
#include "graph/labels.hpp"
#include "graph/layout.hpp"

namespace vantrel {

namespace {

// The ids of `labels` in the order of their bytes (as unsigned bytes, a
// shorter label before the longer ones it begins), and the labels in that
// order. Labels share long beginnings (an IRI's namespace): each is keyed by
// its eight bytes after the beginning all of them share, as a big-endian
// number (zeros past its end, which keeps the order), so that most
// comparisons compare two numbers; equal keys compare the labels. The two
// halves are sorted on two threads, then merged.
template <class Id>
std::vector<Id> sorted_ids(const LabelList& labels, LabelList& sorted, const InterruptPoll& poll) {
  const std::uint64_t count = labels.size();
  std::size_t shared = count == 0 ? 0 : labels[0].size();
  for (std::uint64_t id = 1; id < count && shared > 0; ++id) {
    const std::string_view first = labels[0].substr(0, shared);
    const std::string_view label = labels[id];
    shared = static_cast<std::size_t>(
        std::mismatch(first.begin(), first.end(), label.begin(), label.begin() + std::min(label.size(), shared)).first -
        first.begin());
  }
  struct Keyed {
    std::uint64_t key;
    Id id;
  };
  std::vector<Keyed> keyed(count);
  for (std::uint64_t id = 0; id < count; ++id) {
    const std::string_view rest = labels[id].substr(shared);
    std::uint64_t key = 0;
    for (std::size_t b = 0; b < 8; ++b) key = key << 8 | (b < rest.size() ? static_cast<unsigned char>(rest[b]) : 0u);
    keyed[id] = {key, static_cast<Id>(id)};
  }
  const auto before = [&](const Keyed& a, const Keyed& b) {
    return a.key != b.key ? a.key < b.key : labels[a.id] < labels[b.id];
  };
  const auto middle = keyed.begin() + static_cast<std::ptrdiff_t>(count / 2);
  run_tasks(
      2, 2,
      [&](std::uint64_t half, const InterruptPoll&) {
        std::sort(half == 0 ? keyed.begin() : middle, half == 0 ? middle : keyed.end(), before);
      },
      poll);
  std::inplace_merge(keyed.begin(), middle, keyed.end(), before);
  std::vector<Id> order(count);
  LabelArena arena;
  for (std::uint64_t place = 0; place < count; ++place) {
    order[place] = keyed[place].id;
    arena.append(labels[keyed[place].id]);
  }
  sorted = std::move(arena).freeze();
  return order;
}

// Each id's place in `order`.
template <class Id>
std::vector<Id> ranks_of(const std::vector<Id>& order) {
  std::vector<Id> rank(order.size());
  for (std::size_t place = 0; place < order.size(); ++place) rank[order[place]] = static_cast<Id>(place);
  return rank;
}

// The graph's triples as rows of ranks (head, relation, tail), sorted, and
// where each head's rows start (first_row, one more than the nodes). Each
// triple is one forward entry of its head: the rows of the head of rank k
// start after those of the heads before it, so each head's entries are
// written and sorted on their own, on every thread.
template <class Id>
std::vector<std::array<Id, 3>> sorted_rows(const BasicGraph<Id>& graph, const std::vector<Id>& node_order,
                                           const std::vector<Id>& node_rank, const std::vector<Id>& relation_rank,
                                           std::vector<std::uint64_t>& first_row, const InterruptPoll& poll) {
  const Cell<Id>* const cells = graph.cells().data();
  const Id* const blocks = graph.blocks().data();
  const std::uint64_t nodes = graph.node_count();
  first_row.assign(nodes + 1, 0);
  for (std::uint64_t rank = 0; rank < nodes; ++rank) {
    first_row[rank + 1] = first_row[rank] + cells[blocks[node_order[rank]]].header.forward_count;
  }
  std::vector<std::array<Id, 3>> rows(first_row[nodes]);
  for_node_ranges(nodes, poll, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t rank = begin; rank < end; ++rank) {
      const std::uint64_t block = blocks[node_order[rank]];
      std::array<Id, 3>* const out = rows.data() + first_row[rank];
      const std::uint64_t forward = cells[block].header.forward_count;
      for (std::uint64_t k = 0; k < forward; ++k) {
        const EdgeCell<Id>& edge = cells[entry_cell(block, k)].edge;
        out[k] = {static_cast<Id>(rank), relation_rank[edge.relation], node_rank[cells[edge.block].header.node]};
      }
      std::sort(out, out + forward);
    }
  });
  return rows;
}

// The graph of `rows`, sorted by (head, relation, tail), the rows of head
// n starting at first_row[n]: the graph graph_from_ids() makes of them,
// laid out on every thread. A node's forward entries are its rows in
// order; each task places the rows whose tail is in its range of nodes
// (reading every row, writing only its own tails' backward entries and
// the forward entries twinned with them), so that no two tasks write one
// cell and the graph is the same for any number of them.
template <class Id, class RowId>
BasicGraph<Id> lay_out_sorted(const std::vector<std::array<RowId, 3>>& rows,
                              const std::vector<std::uint64_t>& first_row, LabelList node_labels,
                              LabelList relation_labels, const InterruptPoll& poll) {
  const std::uint64_t nodes = node_labels.size();
  const std::uint64_t edges = rows.size();
  const unsigned tasks = std::min(available_cpus(), 4u);
  const auto tail_range = [&](std::uint64_t task) {
    return std::pair{nodes * task / tasks, nodes * (task + 1) / tasks};
  };
  std::vector<Id> backward(nodes, 0);
  run_tasks(
      tasks, tasks,
      [&](std::uint64_t task, const InterruptPoll&) {
        const auto [first, last] = tail_range(task);
        for (const auto& row : rows) {
          if (row[2] >= first && row[2] < last) ++backward[row[2]];
        }
      },
      poll);
  auto cell_region = ArrayRegion<Cell<Id>>::allocate(nodes + 2 * edges);
  auto block_region = ArrayRegion<Id>::allocate(nodes);
  auto head_region = ArrayRegion<Id>::allocate(edges);
  Cell<Id>* const cells = cell_region.mutable_data();
  Id* const block_of = block_region.mutable_data();
  bool may_lack_edges = false;
  for (std::uint64_t n = 0; n < nodes; ++n) {
    const std::uint64_t forward = first_row[n + 1] - first_row[n];
    block_of[n] = static_cast<Id>(block_cells(forward, backward[n]));
    may_lack_edges = may_lack_edges || (forward == 0 && backward[n] == 0);
  }
  block_starts_from_sizes(block_of, nodes);
  for (std::uint64_t n = 0; n < nodes; ++n) {
    cells[block_of[n]].header = {static_cast<Id>(first_row[n + 1] - first_row[n]), backward[n], static_cast<Id>(n)};
    backward[n] = 0;  // now: the backward entries placed so far
  }
  std::vector<bool> relation_used(relation_labels.size(), false);
  for (const auto& row : rows) relation_used[row[1]] = true;
  may_lack_edges =
      may_lack_edges || std::find(relation_used.begin(), relation_used.end(), false) != relation_used.end();
  Id* const heads = head_region.mutable_data();
  run_tasks(
      tasks, tasks,
      [&](std::uint64_t task, const InterruptPoll& task_poll) {
        const auto [first, last] = tail_range(task);
        for (std::uint64_t e = 0; e < edges; ++e) {
          if (e % kItemsPerPoll == kItemsPerPoll - 1) task_poll();
          const auto& [head, relation, tail] = rows[e];
          if (tail < first || tail >= last) continue;
          heads[e] = static_cast<Id>(head);
          const Id head_block = block_of[head];
          const Id tail_block = block_of[tail];
          const auto forward_position = static_cast<Id>(e - first_row[head]);
          const Id backward_position = backward[tail]++;
          cells[entry_cell(head_block, forward_position)].edge = {tail_block, static_cast<Id>(relation),
                                                                  backward_position};
          cells[twin_cell(tail_block, cells[tail_block].header.forward_count, true, backward_position)].edge = {
              head_block, static_cast<Id>(relation), forward_position};
        }
      },
      poll);
  return BasicGraph<Id>(std::move(cell_region), std::move(block_region), std::move(node_labels),
                        std::move(relation_labels), Direction::kBoth, may_lack_edges, std::move(head_region));
}

template <class Id>
KG canonical_of(KG& kg, const InterruptPoll& poll) {
  LabelList node_labels;
  LabelList relation_labels;
  std::vector<std::array<Id, 3>> rows;
  std::vector<std::uint64_t> first_row;
  {
    const BasicGraph<Id>& graph = kg.as<Id>();
    const std::vector<Id> node_order = sorted_ids<Id>(graph.node_labels(), node_labels, poll);
    const std::vector<Id> relation_rank = ranks_of(sorted_ids<Id>(graph.relation_labels(), relation_labels, poll));
    rows = sorted_rows(graph, node_order, ranks_of(node_order), relation_rank, first_row, poll);
  }
  // The graph in read order is done with: its memory goes before the new one is built.
  kg = KG();
  if (poll) poll();
  // As graph_from_ids() would choose: the narrowest ids the new graph's cells allow.
  if (fits_32_bit_ids(node_labels.size() + 2 * rows.size(), relation_labels.size())) {
    return KG(lay_out_sorted<std::uint32_t>(rows, first_row, std::move(node_labels), std::move(relation_labels), poll));
  }
  return KG(lay_out_sorted<std::uint64_t>(rows, first_row, std::move(node_labels), std::move(relation_labels), poll));
}

}  // namespace

KG canonical_graph(KG kg, const InterruptPoll& poll) {
  const bool narrow = kg.visit(
      [](const auto& graph) { return std::is_same_v<typename std::decay_t<decltype(graph)>::IdType, std::uint32_t>; });
  return narrow ? canonical_of<std::uint32_t>(kg, poll) : canonical_of<std::uint64_t>(kg, poll);
}

}  // namespace vantrel
