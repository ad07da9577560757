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

template <class Id>
struct Keyed {
  std::uint64_t key;
  Id id;

  static bool by_key(const Keyed& a, const Keyed& b) { return a.key < b.key; }
};

// The most threads that sort labels or lay out rows: parts to sort are cut
// one after another by std::partition over what is left, on one thread
// (about half a pass over the data per part), and the work is bound by
// memory more than by cores, so that past four threads the cutting costs
// more than the extra threads save.
constexpr unsigned kMostSortThreads = 4;

unsigned sort_threads() { return std::min(available_cpus(), kMostSortThreads); }

// A range of labels being sorted.
struct LabelRange {
  std::size_t begin;
  std::size_t end;
  std::size_t offset;  // the labels of the range agree before it
};

// Sorts [first, last) by key, on every thread where they are many: cut at
// a sample's quantiles into parts, which are sorted at the same time.
template <class Id>
void sort_by_key(Keyed<Id>* first, Keyed<Id>* last, const InterruptPoll& poll) {
  constexpr auto by_key = Keyed<Id>::by_key;
  const auto count = static_cast<std::size_t>(last - first);
  const unsigned tasks = sort_threads();
  if (tasks < 2 || count < (std::size_t{1} << 16)) {
    std::sort(first, last, by_key);
    return;
  }
  std::vector<std::uint64_t> sample;
  for (std::size_t i = 0; i < count; i += count / 256) sample.push_back(first[i].key);
  std::sort(sample.begin(), sample.end());
  std::vector<Keyed<Id>*> bounds{first};
  for (unsigned task = 1; task < tasks; ++task) {
    const std::uint64_t below = sample[task * sample.size() / tasks];
    bounds.push_back(std::partition(bounds.back(), last, [&](const Keyed<Id>& k) { return k.key < below; }));
  }
  bounds.push_back(last);
  run_tasks(
      tasks, tasks,
      [&](std::uint64_t task, const InterruptPoll&) { std::sort(bounds[task], bounds[task + 1], by_key); }, poll);
}

// One step of label_order() on `range` of `keyed`: the range put in order
// by the next eight bytes after those its labels share, its runs of equal
// bytes added to `runs`. `sort` sorts by key.
template <class Id, class SortByKey>
void order_range(std::vector<Keyed<Id>>& keyed, const LabelList& labels, LabelRange range,
                 std::vector<LabelRange>& runs, SortByKey&& sort) {
  const std::string_view first = labels[keyed[range.begin].id];
  std::size_t shared = first.size();
  for (std::size_t i = range.begin + 1; i < range.end && shared > range.offset; ++i) {
    const std::string_view label = labels[keyed[i].id];
    std::size_t k = range.offset;
    while (k < shared && k < label.size() && label[k] == first[k]) ++k;
    shared = k;
  }
  const std::size_t offset = std::max(range.offset, shared);
  // Labels that end by `offset` agree with the range's zeros-padded
  // bytes: each begins the longer ones, so they come first, shortest first.
  const auto ended = std::partition(keyed.begin() + static_cast<std::ptrdiff_t>(range.begin),
                                    keyed.begin() + static_cast<std::ptrdiff_t>(range.end),
                                    [&](const Keyed<Id>& k) { return labels[k.id].size() <= offset; });
  std::sort(keyed.begin() + static_cast<std::ptrdiff_t>(range.begin), ended,
            [&](const Keyed<Id>& a, const Keyed<Id>& b) { return labels[a.id].size() < labels[b.id].size(); });
  const auto begin = static_cast<std::size_t>(ended - keyed.begin());
  for (std::size_t i = begin; i < range.end; ++i) {
    const std::string_view label = labels[keyed[i].id];
    std::uint64_t key = 0;
    for (std::size_t b = offset; b < offset + 8; ++b) {
      key = key << 8 | (b < label.size() ? static_cast<unsigned char>(label[b]) : 0u);
    }
    keyed[i].key = key;
  }
  sort(keyed.data() + begin, keyed.data() + range.end);
  for (std::size_t run = begin; run < range.end;) {
    std::size_t run_end = run + 1;
    while (run_end < range.end && keyed[run_end].key == keyed[run].key) ++run_end;
    if (run_end - run > 1) runs.push_back({run, run_end, offset + 8});
    run = run_end;
  }
}

// The ids of `labels` in the order of their bytes (as unsigned bytes, a
// shorter label before the longer ones it begins), sorted eight bytes at a
// time: a range of labels that agree so far skips the bytes all of them
// share (an IRI's namespace), is sorted by its next eight bytes as a
// big-endian number (zeros past a label's end), and its runs of equal
// numbers go on the same way. The first step sorts on every thread; the
// runs it leaves are shared out among the threads, each range sorted by one.
template <class Id>
std::vector<Id> label_order(const LabelList& labels, const InterruptPoll& poll) {
  const std::uint64_t count = labels.size();
  std::vector<Keyed<Id>> keyed(count);
  for (std::uint64_t id = 0; id < count; ++id) keyed[id] = {0, static_cast<Id>(id)};
  std::vector<LabelRange> runs;
  if (count > 1) {
    order_range(keyed, labels, {0, count, 0}, runs,
                [&](Keyed<Id>* first, Keyed<Id>* last) { sort_by_key(first, last, poll); });
  }
  // Runs in groups of about equal size, one group a task.
  const unsigned tasks = sort_threads();
  std::size_t in_runs = 0;
  for (const LabelRange& run : runs) in_runs += run.end - run.begin;
  std::vector<std::size_t> first_run{0};
  for (std::size_t i = 0, sum = 0; i < runs.size(); ++i) {
    sum += runs[i].end - runs[i].begin;
    if (sum * tasks >= in_runs * first_run.size() && first_run.size() < tasks) first_run.push_back(i + 1);
  }
  first_run.push_back(runs.size());
  run_tasks(
      first_run.size() - 1, tasks,
      [&](std::uint64_t task, const InterruptPoll& task_poll) {
        std::vector<LabelRange> stack(runs.begin() + static_cast<std::ptrdiff_t>(first_run[task]),
                                      runs.begin() + static_cast<std::ptrdiff_t>(first_run[task + 1]));
        std::uint64_t sorted = 0;
        while (!stack.empty()) {
          const LabelRange range = stack.back();
          stack.pop_back();
          if ((sorted += range.end - range.begin) > kItemsPerPoll) {
            task_poll();
            sorted = 0;
          }
          order_range(keyed, labels, range, stack,
                      [](Keyed<Id>* first, Keyed<Id>* last) { std::sort(first, last, Keyed<Id>::by_key); });
        }
      },
      poll);
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

// `labels` in `order`, in arrays of their exact sizes: the offsets in
// turn, then the bytes copied on every thread.
template <class Id>
LabelList labels_in_order(const LabelList& labels, const std::vector<Id>& order, const InterruptPoll& poll) {
  auto bytes = ArrayRegion<char>::allocate(labels.bytes().size());
  auto offsets = ArrayRegion<std::uint64_t>::allocate(order.size() + 1);
  auto ascii = ArrayRegion<std::uint8_t>::allocate(order.size());
  std::uint64_t* const offset = offsets.mutable_data();
  std::uint64_t at = 0;
  for (std::size_t place = 0; place < order.size(); ++place) {
    offset[place] = at;
    at += labels[order[place]].size();
  }
  offset[order.size()] = at;
  for_node_ranges(order.size(), poll, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t place = begin; place < end; ++place) {
      const std::string_view label = labels[order[place]];
      std::copy(label.begin(), label.end(), bytes.mutable_data() + offset[place]);
      ascii.mutable_data()[place] = labels.is_ascii_label(order[place]) ? 1 : 0;
    }
  });
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

// Where each of `tasks` tasks' heads begin, the heads of task t being
// [first_head[t], first_head[t + 1]): runs of about equal rows.
std::vector<std::uint64_t> heads_by_task(const std::vector<std::uint64_t>& first_row, std::uint64_t nodes,
                                         std::uint64_t edges, unsigned tasks) {
  std::vector<std::uint64_t> first_head(tasks + 1, nodes);
  for (unsigned task = 1; task < tasks; ++task) {
    // The head whose rows hold the task's first share of them.
    const auto after = std::upper_bound(first_row.begin(), first_row.begin() + static_cast<std::ptrdiff_t>(nodes),
                                        edges * task / tasks);
    first_head[task] = after == first_row.begin() ? 0 : static_cast<std::uint64_t>(after - first_row.begin() - 1);
  }
  first_head[0] = 0;
  return first_head;
}

// Each node's backward entries (the rows that end at it); and in ending[t],
// per node, where task t's backward entries there start, counted from the
// rows of each task's heads on every task.
template <class Id, class RowId>
std::vector<Id> backward_entries(const std::vector<std::array<RowId, 2>>& rows,
                                 const std::vector<std::uint64_t>& first_row,
                                 const std::vector<std::uint64_t>& first_head, std::vector<std::vector<Id>>& ending,
                                 const InterruptPoll& poll) {
  const std::uint64_t nodes = first_row.size() - 1;
  const auto tasks = static_cast<unsigned>(ending.size());
  run_tasks(
      tasks, tasks,
      [&](std::uint64_t task, const InterruptPoll&) {
        std::vector<Id>& count = ending[task];
        count.assign(nodes, 0);
        for (std::uint64_t e = first_row[first_head[task]]; e < first_row[first_head[task + 1]]; ++e) {
          ++count[rows[e][1]];
        }
      },
      poll);
  std::vector<Id> backward(nodes, 0);
  for (std::uint64_t n = 0; n < nodes; ++n) {
    Id before = 0;
    for (unsigned task = 0; task < tasks; ++task) {
      const Id count = ending[task][n];
      ending[task][n] = before;
      before += count;
    }
    backward[n] = before;
  }
  return backward;
}

// The graph of the sorted rows (those of head n from first_row[n]): the
// graph graph_from_ids() makes of them, laid out on every thread. A node's
// forward entries are its rows in order, and its backward entries come in
// the order of the rows that end at it. Each task takes a run of heads (of
// about as many rows as the others'): it counts the rows of its heads that
// end at each node, so that the counts of the tasks before it say where its
// backward entries start, then places its rows, writing its heads' forward
// entries and the backward entries twinned with them. No two tasks write
// one cell, and the graph is the same for any number of tasks.
template <class Id, class RowId>
BasicGraph<Id> lay_out_sorted(const std::vector<std::array<RowId, 2>>& rows,
                              const std::vector<std::uint64_t>& first_row, LabelList node_labels,
                              LabelList relation_labels, const InterruptPoll& poll) {
  const std::uint64_t nodes = node_labels.size();
  const std::uint64_t edges = rows.size();
  const unsigned tasks = sort_threads();
  const std::vector<std::uint64_t> first_head = heads_by_task(first_row, nodes, edges, tasks);
  std::vector<std::vector<Id>> ending(tasks);
  std::vector<Id> backward = backward_entries(rows, first_row, first_head, ending, poll);
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
  }
  std::vector<Id>().swap(backward);
  std::vector<bool> relation_used(relation_labels.size(), false);
  for (const auto& row : rows) relation_used[row[0]] = true;
  may_lack_edges =
      may_lack_edges || std::find(relation_used.begin(), relation_used.end(), false) != relation_used.end();
  run_tasks(
      tasks, tasks,
      [&](std::uint64_t task, const InterruptPoll& task_poll) {
        std::vector<Id>& placed = ending[task];  // the next backward entry of each node
        // The rows' tails are all over the graph: their blocks' headers (and
        // the backward entries near them) and their counts are fetched some
        // rows ahead, their blocks' places further ahead still.
        constexpr std::uint64_t kAhead = 16;
        const std::uint64_t end = first_row[first_head[task + 1]];
        std::uint64_t head = first_head[task];
        for (std::uint64_t e = first_row[head]; e < end; ++e) {
          if (e % kItemsPerPoll == kItemsPerPoll - 1) task_poll();
          if (e + 2 * kAhead < end) __builtin_prefetch(&block_of[rows[e + 2 * kAhead][1]]);
          if (e + kAhead < end) {
            __builtin_prefetch(&cells[block_of[rows[e + kAhead][1]]]);
            __builtin_prefetch(&placed[rows[e + kAhead][1]]);
          }
          while (e >= first_row[head + 1]) ++head;
          const Id head_block = block_of[head];
          const auto& [relation, tail] = rows[e];
          const Id tail_block = block_of[tail];
          const auto forward_position = static_cast<Id>(e - first_row[head]);
          const Id backward_position = placed[tail]++;
          cells[entry_cell(head_block, forward_position)].edge = {tail_block, static_cast<Id>(relation),
                                                                  backward_position};
          cells[twin_cell(tail_block, cells[tail_block].header.forward_count, true, backward_position)].edge = {
              head_block, static_cast<Id>(relation), forward_position};
        }
      },
      poll);
  BasicGraph<Id> graph(std::move(cell_region), std::move(block_region), std::move(node_labels),
                       std::move(relation_labels), Direction::kBoth, may_lack_edges, std::move(head_region));
  // Triples that came grouped by head keep their order in a fraction of the memory.
  graph.group_heads(poll);
  return graph;
}

// At its peak this holds the graph as read and the sorted rows (8 or 16
// bytes a triple); the labels are copied in order once the graph as read,
// but for its labels, is gone.
template <class Id>
AnyGraph canonical_of(AnyGraph& read, const InterruptPoll& poll) {
  std::vector<Id> node_order;
  std::vector<Id> relation_order;
  std::vector<std::array<Id, 2>> rows;
  std::vector<std::uint64_t> first_row;
  LabelList read_nodes;
  LabelList read_relations;
  {
    const BasicGraph<Id>& graph = std::get<BasicGraph<Id>>(read);
    node_order = label_order<Id>(graph.node_labels(), poll);
    relation_order = label_order<Id>(graph.relation_labels(), poll);
    rows = sorted_rows(graph, node_order, ranks_of(node_order), ranks_of(relation_order), first_row, poll);
    read_nodes = shared_labels(graph.node_labels());
    read_relations = shared_labels(graph.relation_labels());
  }
  read = AnyGraph();
  if (poll) poll();
  LabelList node_labels = labels_in_order(read_nodes, node_order, poll);
  LabelList relation_labels = labels_in_order(read_relations, relation_order, poll);
  read_nodes = LabelList();
  read_relations = LabelList();
  std::vector<Id>().swap(node_order);
  // As graph_from_ids() would choose: the narrowest ids the new graph's cells allow.
  if (fits_32_bit_ids(node_labels.size() + 2 * rows.size(), relation_labels.size())) {
    return lay_out_sorted<std::uint32_t>(rows, first_row, std::move(node_labels), std::move(relation_labels), poll);
  }
  return lay_out_sorted<std::uint64_t>(rows, first_row, std::move(node_labels), std::move(relation_labels), poll);
}

}  // namespace

AnyGraph canonical_graph(AnyGraph graph, const InterruptPoll& poll) {
  const bool narrow = std::holds_alternative<BasicGraph<std::uint32_t>>(graph);
  return narrow ? canonical_of<std::uint32_t>(graph, poll) : canonical_of<std::uint64_t>(graph, poll);
}

}  // namespace vantrel
