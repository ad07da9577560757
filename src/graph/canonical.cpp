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
// shorter label before the longer ones it begins), sorted eight bytes at a
// time: a range of labels that agree so far skips the bytes all of them
// share (an IRI's namespace), is sorted by its next eight bytes as a
// big-endian number (zeros past a label's end), and its runs of equal
// numbers go on the same way.
template <class Id>
std::vector<Id> label_order(const LabelList& labels, const InterruptPoll& poll) {
  const std::uint64_t count = labels.size();
  struct Keyed {
    std::uint64_t key;
    Id id;
  };
  std::vector<Keyed> keyed(count);
  for (std::uint64_t id = 0; id < count; ++id) keyed[id] = {0, static_cast<Id>(id)};
  struct Range {
    std::size_t begin;
    std::size_t end;
    std::size_t offset;  // the labels of the range agree before it
  };
  std::vector<Range> ranges;
  if (count > 1) ranges.push_back({0, count, 0});
  std::uint64_t sorted = 0;
  while (!ranges.empty()) {
    // (A copy captured below: clang before 16 cannot capture a structured binding.)
    auto [begin, end, offset] = ranges.back();
    ranges.pop_back();
    if ((sorted += end - begin) > kItemsPerPoll && poll) {
      poll();
      sorted = 0;
    }
    const std::string_view first = labels[keyed[begin].id];
    std::size_t shared = first.size();
    for (std::size_t i = begin + 1; i < end && shared > offset; ++i) {
      const std::string_view label = labels[keyed[i].id];
      std::size_t k = offset;
      while (k < shared && k < label.size() && label[k] == first[k]) ++k;
      shared = k;
    }
    offset = std::max(offset, shared);
    // Labels that end by `offset` agree with the range's zeros-padded
    // bytes: each begins the longer ones, so they come first, shortest first.
    const auto ended = std::partition(keyed.begin() + static_cast<std::ptrdiff_t>(begin),
                                      keyed.begin() + static_cast<std::ptrdiff_t>(end),
                                      [&, offset = offset](const Keyed& k) { return labels[k.id].size() <= offset; });
    std::sort(keyed.begin() + static_cast<std::ptrdiff_t>(begin), ended,
              [&](const Keyed& a, const Keyed& b) { return labels[a.id].size() < labels[b.id].size(); });
    begin = static_cast<std::size_t>(ended - keyed.begin());
    for (std::size_t i = begin; i < end; ++i) {
      const std::string_view label = labels[keyed[i].id];
      std::uint64_t key = 0;
      for (std::size_t b = offset; b < offset + 8; ++b) {
        key = key << 8 | (b < label.size() ? static_cast<unsigned char>(label[b]) : 0u);
      }
      keyed[i].key = key;
    }
    std::sort(keyed.begin() + static_cast<std::ptrdiff_t>(begin), keyed.begin() + static_cast<std::ptrdiff_t>(end),
              [](const Keyed& a, const Keyed& b) { return a.key < b.key; });
    for (std::size_t run = begin; run < end;) {
      std::size_t run_end = run + 1;
      while (run_end < end && keyed[run_end].key == keyed[run].key) ++run_end;
      if (run_end - run > 1) ranges.push_back({run, run_end, offset + 8});
      run = run_end;
    }
  }
  std::vector<Id> order(count);
  for (std::uint64_t place = 0; place < count; ++place) order[place] = keyed[place].id;
  return order;
}

// Each id's place in `order`.
template <class Id>
std::vector<Id> ranks_of(const std::vector<Id>& order) {
  std::vector<Id> rank(order.size());
  for (std::size_t place = 0; place < order.size(); ++place) rank[order[place]] = static_cast<Id>(place);
  return rank;
}

// `labels` in `order`, in arrays of their exact sizes.
template <class Id>
LabelList labels_in_order(const LabelList& labels, const std::vector<Id>& order) {
  auto bytes = ArrayRegion<char>::allocate(labels.bytes().size());
  auto offsets = ArrayRegion<std::uint64_t>::allocate(order.size() + 1);
  auto ascii = ArrayRegion<std::uint8_t>::allocate(order.size());
  std::uint64_t at = 0;
  for (std::size_t place = 0; place < order.size(); ++place) {
    const std::string_view label = labels[order[place]];
    offsets.mutable_data()[place] = at;
    std::copy(label.begin(), label.end(), bytes.mutable_data() + at);
    ascii.mutable_data()[place] = labels.is_ascii_label(order[place]) ? 1 : 0;
    at += label.size();
  }
  offsets.mutable_data()[order.size()] = at;
  return LabelList(std::move(bytes), std::move(offsets), std::move(ascii));
}

// A read-only view of `labels` that keeps their memory when their graph goes.
LabelList shared_labels(const LabelList& labels) {
  return LabelList(labels.bytes().share(), labels.offsets().share(), labels.ascii_flags().share());
}

// The graph's triples sorted by the ranks of (head, relation, tail): each
// row's (relation, tail), and where each head's rows start (first_row, one
// more than the nodes). Each triple is one forward entry of its head: the
// rows of the head of rank k come after those of the heads before it, so
// each head's entries are written and sorted on their own, on every thread.
template <class Id>
std::vector<std::array<Id, 2>> sorted_rows(const BasicGraph<Id>& graph, const std::vector<Id>& node_order,
                                           const std::vector<Id>& node_rank, const std::vector<Id>& relation_rank,
                                           std::vector<std::uint64_t>& first_row, const InterruptPoll& poll) {
  const Cell<Id>* const cells = graph.cells().data();
  const Id* const blocks = graph.blocks().data();
  const std::uint64_t nodes = graph.node_count();
  first_row.assign(nodes + 1, 0);
  for (std::uint64_t rank = 0; rank < nodes; ++rank) {
    first_row[rank + 1] = first_row[rank] + cells[blocks[node_order[rank]]].header.forward_count;
  }
  std::vector<std::array<Id, 2>> rows(first_row[nodes]);
  for_node_ranges(nodes, poll, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t rank = begin; rank < end; ++rank) {
      const std::uint64_t block = blocks[node_order[rank]];
      std::array<Id, 2>* const out = rows.data() + first_row[rank];
      const std::uint64_t forward = cells[block].header.forward_count;
      for (std::uint64_t k = 0; k < forward; ++k) {
        const EdgeCell<Id>& edge = cells[entry_cell(block, k)].edge;
        out[k] = {relation_rank[edge.relation], node_rank[cells[edge.block].header.node]};
      }
      std::sort(out, out + forward);
    }
  });
  return rows;
}

// The graph of the sorted rows (those of head n from first_row[n]): the
// graph graph_from_ids() makes of them, laid out on every thread. A node's
// forward entries are its rows in order; each task places the rows whose
// tail is in its range of nodes (reading every row, writing only its own
// tails' backward entries and the forward entries twinned with them), so
// that no two tasks write one cell and the graph is the same for any
// number of them.
template <class Id, class RowId>
BasicGraph<Id> lay_out_sorted(const std::vector<std::array<RowId, 2>>& rows,
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
          if (row[1] >= first && row[1] < last) ++backward[row[1]];
        }
      },
      poll);
  auto cell_region = ArrayRegion<Cell<Id>>::allocate(nodes + 2 * edges);
  auto block_region = ArrayRegion<Id>::allocate(nodes);
  auto head_region = ArrayRegion<Id>::allocate(edges);
  Cell<Id>* const cells = cell_region.mutable_data();
  Id* const block_of = block_region.mutable_data();
  Id* const heads = head_region.mutable_data();
  bool may_lack_edges = false;
  for (std::uint64_t n = 0; n < nodes; ++n) {
    const std::uint64_t forward = first_row[n + 1] - first_row[n];
    block_of[n] = static_cast<Id>(block_cells(forward, backward[n]));
    may_lack_edges = may_lack_edges || (forward == 0 && backward[n] == 0);
    std::fill(heads + first_row[n], heads + first_row[n + 1], static_cast<Id>(n));
  }
  block_starts_from_sizes(block_of, nodes);
  for (std::uint64_t n = 0; n < nodes; ++n) {
    cells[block_of[n]].header = {static_cast<Id>(first_row[n + 1] - first_row[n]), backward[n], static_cast<Id>(n)};
    backward[n] = 0;  // now: the backward entries placed so far
  }
  std::vector<bool> relation_used(relation_labels.size(), false);
  for (const auto& row : rows) relation_used[row[0]] = true;
  may_lack_edges =
      may_lack_edges || std::find(relation_used.begin(), relation_used.end(), false) != relation_used.end();
  run_tasks(
      tasks, tasks,
      [&](std::uint64_t task, const InterruptPoll& task_poll) {
        const auto [first, last] = tail_range(task);
        for (std::uint64_t head = 0; head < nodes; ++head) {
          if (head % kItemsPerPoll == kItemsPerPoll - 1) task_poll();
          const Id head_block = block_of[head];
          for (std::uint64_t e = first_row[head]; e < first_row[head + 1]; ++e) {
            const auto& [relation, tail] = rows[e];
            if (tail < first || tail >= last) continue;
            const Id tail_block = block_of[tail];
            const auto forward_position = static_cast<Id>(e - first_row[head]);
            const Id backward_position = backward[tail]++;
            cells[entry_cell(head_block, forward_position)].edge = {tail_block, static_cast<Id>(relation),
                                                                    backward_position};
            cells[twin_cell(tail_block, cells[tail_block].header.forward_count, true, backward_position)].edge = {
                head_block, static_cast<Id>(relation), forward_position};
          }
        }
      },
      poll);
  return BasicGraph<Id>(std::move(cell_region), std::move(block_region), std::move(node_labels),
                        std::move(relation_labels), Direction::kBoth, may_lack_edges, std::move(head_region));
}

// At its peak this holds the graph as read and the sorted rows (8 or 16
// bytes a triple); the labels are copied in order once the graph as read,
// but for its labels, is gone.
template <class Id>
KG canonical_of(KG& kg, const InterruptPoll& poll) {
  std::vector<Id> node_order;
  std::vector<Id> relation_order;
  std::vector<std::array<Id, 2>> rows;
  std::vector<std::uint64_t> first_row;
  LabelList read_nodes;
  LabelList read_relations;
  {
    const BasicGraph<Id>& graph = kg.as<Id>();
    node_order = label_order<Id>(graph.node_labels(), poll);
    relation_order = label_order<Id>(graph.relation_labels(), poll);
    rows = sorted_rows(graph, node_order, ranks_of(node_order), ranks_of(relation_order), first_row, poll);
    read_nodes = shared_labels(graph.node_labels());
    read_relations = shared_labels(graph.relation_labels());
  }
  kg = KG();
  if (poll) poll();
  LabelList node_labels = labels_in_order(read_nodes, node_order);
  LabelList relation_labels = labels_in_order(read_relations, relation_order);
  read_nodes = LabelList();
  read_relations = LabelList();
  std::vector<Id>().swap(node_order);
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
