#include "graph/bias.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "core/parallel.hpp"
#include "graph/restriction.hpp"

namespace vantrel {

namespace {

// Node ranges of tasks: a multiple of 64, so that a task's nodes own whole
// words of a bitset.
constexpr std::uint64_t kNodesPerTask = std::uint64_t{1} << 16;
static_assert(kNodesPerTask % 64 == 0);

template <class Id, class Visit>
void for_node_ranges(const BasicGraph<Id>& graph, const InterruptPoll& poll, Visit&& visit) {
  const std::uint64_t nodes = graph.node_count();
  run_tasks((nodes + kNodesPerTask - 1) / kNodesPerTask, available_cpus(),
            [&](std::uint64_t task, const InterruptPoll& task_poll) {
              const std::uint64_t first = task * kNodesPerTask;
              visit(first, std::min(nodes, first + kNodesPerTask));
              task_poll();
            },
            poll);
}

// The entries of a graph: one per edge and direction listed.
template <class Id>
std::uint64_t entry_count(const BasicGraph<Id>& graph) {
  return graph.cells().size() - graph.node_count();
}

// Whether the graph as read can list its triples: it holds both copies of
// each edge (a graph built, or loaded from any snapshot but one of a graph
// restricted to one direction, written before snapshots kept the source).
template <class Id>
bool lists_its_triples(const BasicGraph<Id>& source) {
  return source.direction() == Direction::kBoth;
}

// Node ranges of about equal numbers of entries, one per thread, for work
// that each thread does for its own nodes while it reads a whole array.
template <class Id>
std::vector<std::uint64_t> balanced_node_ranges(const BasicGraph<Id>& graph, unsigned parts) {
  std::vector<std::uint64_t> bounds = {0};
  const std::uint64_t cells = graph.cells().size();
  for (unsigned part = 1; part < parts; ++part) {
    const std::uint64_t target = cells / parts * part;
    const Id* blocks = graph.blocks().data();
    bounds.push_back(
        static_cast<std::uint64_t>(std::lower_bound(blocks, blocks + graph.node_count(), target) - blocks));
  }
  bounds.push_back(graph.node_count());
  return bounds;
}

// Throws std::invalid_argument unless the graph as read can list its triples.
template <class Id>
void require_triples(const BasicGraph<Id>& source) {
  if (!lists_its_triples(source)) {
    throw std::invalid_argument(
        "this sampler was loaded from a snapshot of a graph restricted to one direction, written before "
        "snapshots recorded the graph as read: it does not know that graph's triples");
  }
}

// Calls visit(entry, triple) for each forward entry of `source` (a graph
// as read), with the number of its triple in input order (node u's entry k
// is entry block(u) - u + k), on every CPU, from the heads of the triples:
// each thread reads them all and visits the entries of its own nodes, in
// input order. A graph that does not know its order (a snapshot written
// before it was recorded) numbers its triples by head node.
template <class Id, class Visit>
void for_each_forward_triple(const BasicGraph<Id>& source, const InterruptPoll& poll, Visit&& visit) {
  const Cell<Id>* cells = source.cells().data();
  const Id* blocks = source.blocks().data();
  const ArrayRegion<Id>& heads = source.heads();
  if (heads.empty()) {
    std::uint64_t triple = 0;
    for (std::uint64_t node = 0; node < source.node_count(); ++node) {
      for (std::uint64_t k = 0; k < cells[blocks[node]].header.forward_count; ++k) {
        visit(blocks[node] - node + k, triple++);
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
          visit(blocks[head] - head + k, triple);
          if (triple % kItemsPerPoll == 0) task_poll();
        }
      },
      poll);
}

// For each forward entry of `source`, the number of its triple in input
// order, at the entry's number (backward entries' slots are left alone).
template <class Id>
ArrayRegion<Id> forward_triple_numbers(const BasicGraph<Id>& source, const InterruptPoll& poll) {
  auto numbers = ArrayRegion<Id>::allocate(entry_count(source));
  Id* out = numbers.mutable_data();
  for_each_forward_triple(source, poll,
                          [out](std::uint64_t entry, std::uint64_t triple) { out[entry] = static_cast<Id>(triple); });
  return numbers;
}

// The weight in `edge` (one per triple, in input order) of the triple that
// each entry of `source` lists, at the entry's number: a forward entry's
// from its triple's number, a backward entry's from its twin (a forward
// entry of the far node).
template <class Id>
ArrayRegion<double> source_edge_weights(const BasicGraph<Id>& source, const double* edge, const InterruptPoll& poll) {
  auto weights = ArrayRegion<double>::allocate(entry_count(source));
  double* w = weights.mutable_data();
  for_each_forward_triple(source, poll,
                          [w, edge](std::uint64_t entry, std::uint64_t triple) { w[entry] = edge[triple]; });
  const Cell<Id>* cells = source.cells().data();
  const std::uint64_t cell_count = source.cells().size();
  const std::uint64_t entries = weights.size();
  // The twin's weight, a random read, is found through the far node's
  // header, another: the header some cells ahead is asked for, and then,
  // once it has come, the weight.
  constexpr std::uint64_t kHeaderAhead = 32;
  constexpr std::uint64_t kWeightAhead = 16;
  auto twin_entry = [cells](const EdgeCell<Id>& edge) {
    return std::uint64_t{edge.block} - cells[edge.block].header.node + edge.twin;
  };
  for_node_ranges(source, poll, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t u = begin; u < end; ++u) {
      const std::uint64_t block = source.blocks()[u];
      const HeaderCell<Id>& header = cells[block].header;
      const std::uint64_t degree = std::uint64_t{header.forward_count} + header.backward_count;
      for (std::uint64_t k = header.forward_count; k < degree; ++k) {
        const std::uint64_t cell = entry_cell(block, k);
        // Cells ahead may be headers, read as edges: what they give is only a hint.
        if (cell + kHeaderAhead < cell_count) {
          const std::uint64_t far_block = cells[cell + kHeaderAhead].edge.block;
          if (far_block < cell_count) __builtin_prefetch(&cells[far_block]);
        }
        if (cell + kWeightAhead < cell_count) {
          const EdgeCell<Id>& ahead = cells[cell + kWeightAhead].edge;
          if (ahead.block < cell_count) {
            const std::uint64_t twin = twin_entry(ahead);
            if (twin < entries) __builtin_prefetch(&w[twin]);
          }
        }
        w[block - u + k] = w[twin_entry(cells[cell].edge)];
      }
    }
  });
  return weights;
}

// Calls visit(source_entry, entry, relation, far_node) for every entry of
// the graph `kg` walks, on every CPU, a node's entries on one thread: the
// number of the entry of the graph as read that it is, its own number in
// the walked graph (node u's entry k is block(u) - u + k), and the node it
// leads to. Throws std::invalid_argument where the graph as read cannot
// list its triples, std::logic_error where the two graphs disagree.
template <class Id, class Visit>
void for_each_kept_entry(const KG& kg, const InterruptPoll& poll, Visit&& visit) {
  const BasicGraph<Id>& graph = kg.as<Id>();
  const BasicGraph<Id>& source = kg.source().as<Id>();
  require_triples(source);
  const Restriction* restriction = kg.restriction();
  const bool keep_forward = !restriction || restriction->direction != Direction::kBackward;
  const bool keep_backward = !restriction || restriction->direction != Direction::kForward;
  const Cell<Id>* source_cells = source.cells().data();
  const Cell<Id>* cells = graph.cells().data();
  auto disagree = [] { throw std::logic_error("a restricted graph does not match the graph it was restricted from"); };
  const bool is_source = &graph == &source;
  const std::uint64_t source_cell_count = source.cells().size();
  // A node's entries in the walked graph are its source entries that the
  // restriction keeps, in order: each is checked to be the same edge.
  for_node_ranges(graph, poll, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t u = begin; u < end; ++u) {
      // The far ends' headers are read at random: the ones a block or so
      // ahead are asked for now, so that the reads overlap.
      constexpr std::uint64_t kAhead = 32;
      const std::uint64_t source_block = source.blocks()[u];
      const HeaderCell<Id>& source_header = source_cells[source_block].header;
      const std::uint64_t block = graph.blocks()[u];
      const HeaderCell<Id>& header = cells[block].header;
      const std::uint64_t degree = std::uint64_t{header.forward_count} + header.backward_count;
      std::uint64_t kept[2] = {0, 0};  // forward, backward
      for (std::uint64_t k = 0; k < std::uint64_t{source_header.forward_count} + source_header.backward_count; ++k) {
        const bool forward = k < source_header.forward_count;
        const std::uint64_t cell = entry_cell(source_block, k);
        if (cell + kAhead < source_cell_count) {
          const std::uint64_t ahead = source_cells[cell + kAhead].edge.block;  // a count, where a header: harmless
          if (ahead < source_cell_count) __builtin_prefetch(&source_cells[ahead]);
        }
        const EdgeCell<Id>& edge = source_cells[cell].edge;
        if (!(forward ? keep_forward : keep_backward) || (restriction && !restriction->relations[edge.relation])) {
          continue;
        }
        const std::uint64_t far_node = source_cells[edge.block].header.node;
        const std::uint64_t listed_k = forward ? kept[0]++ : header.forward_count + kept[1]++;
        if ((forward ? kept[0] > header.forward_count : kept[1] > header.backward_count) || listed_k >= degree) {
          disagree();
        }
        if (!is_source) {
          const EdgeCell<Id>& listed = cells[entry_cell(block, listed_k)].edge;
          if (listed.relation != edge.relation || cells[listed.block].header.node != far_node) disagree();
        }
        visit(source_block - u + k, block - u + listed_k, std::uint64_t{edge.relation}, far_node);
      }
      if (kept[0] != header.forward_count || kept[1] != header.backward_count) disagree();
    }
  });
}

// Whether the weights of a node's candidates, adding up to `sum`, can be
// drawn from: each finite (a product E * R * N may overflow though its
// factors do not), their sum finite, and a positive sum at least the
// smallest normal number (below it, running sums lose the precision that
// the draw needs).
bool weights_can_be_drawn(bool finite, double sum) {
  return finite && std::isfinite(sum) && (sum == 0.0 || sum >= std::numeric_limits<double>::min());
}

// The number `value` as the shortest text that reads back as it.
std::string number_text(double value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

// Throws BiasError for node `node` of `graph`, whose weights cannot be
// drawn from (weights_can_be_drawn).
template <class Id>
[[noreturn]] void refuse_node_weights(const BasicGraph<Id>& graph, const double* w, std::uint64_t node) {
  const std::uint64_t block = graph.blocks()[node];
  const HeaderCell<Id>& header = graph.cells()[block].header;
  const std::uint64_t first = block - node;
  double sum = 0.0;
  for (std::uint64_t entry = first; entry < first + header.forward_count + header.backward_count; ++entry) {
    sum = sum + w[entry];
  }
  const std::string name = "node '" + std::string(graph.node_label(node)) + "' (id " + std::to_string(node) + ")";
  if (std::isfinite(sum)) {
    throw BiasError("the weights of the candidates of " + name + " add up to " + number_text(sum) +
                    ", below the smallest normal number (" + number_text(std::numeric_limits<double>::min()) +
                    "): rescale the weights");
  }
  throw BiasError("the weights of the candidates of " + name +
                  " overflow: a weight (edge x relation x node) or their sum is infinite; rescale the weights");
}

// The checkpoints of `weights` over `graph`'s entries: at entry
// j * kCheckpointEntries, strictly inside a node's entries, the running sum
// of that node's entries before it. Throws BiasError, naming the node of
// lowest id, where a node's weights cannot be drawn from.
template <class Id>
ArrayRegion<double> checkpoints_of(const BasicGraph<Id>& graph, const ArrayRegion<double>& weights,
                                   const InterruptPoll& poll) {
  const std::uint64_t entries = entry_count(graph);
  auto checkpoints = ArrayRegion<double>::allocate(entries / kCheckpointEntries + 1);
  std::fill_n(checkpoints.mutable_data(), checkpoints.size(), 0.0);
  const Cell<Id>* cells = graph.cells().data();
  const double* w = weights.data();
  std::atomic<std::uint64_t> first_refused{UINT64_MAX};
  for_node_ranges(graph, poll, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t node = begin; node < end; ++node) {
      const std::uint64_t block = graph.blocks()[node];
      const std::uint64_t first = block - node;
      const std::uint64_t degree =
          std::uint64_t{cells[block].header.forward_count} + cells[block].header.backward_count;
      double sum = 0.0;
      bool finite = true;
      for (std::uint64_t entry = first; entry < first + degree; ++entry) {
        if (entry % kCheckpointEntries == 0 && entry > first)
          checkpoints.mutable_data()[entry / kCheckpointEntries] = sum;
        finite = finite && std::isfinite(w[entry]);
        sum = sum + w[entry];
      }
      if (!weights_can_be_drawn(finite, sum)) [[unlikely]] {
        // Ranges end in any order: the lowest node refused is the one named.
        std::uint64_t seen = first_refused.load();
        while (node < seen && !first_refused.compare_exchange_weak(seen, node)) {
        }
        return;
      }
    }
  });
  if (first_refused.load() != UINT64_MAX) refuse_node_weights(graph, w, first_refused.load());
  return checkpoints;
}

// Sorts the `count` values at `values` by their bytes, lowest first (four
// counting passes), with `scratch` as the other buffer: the far blocks of a
// hub, where a comparison sort would take most of the time.
void sort_large(std::uint32_t* values, std::uint64_t count, std::vector<std::uint32_t>& scratch) {
  scratch.resize(count);
  std::uint32_t* from = values;
  std::uint32_t* to = scratch.data();
  for (int shift = 0; shift < 32; shift += 8) {
    std::uint64_t starts[257] = {};
    for (std::uint64_t i = 0; i < count; ++i) ++starts[((from[i] >> shift) & 0xFF) + 1];
    for (int b = 0; b < 256; ++b) starts[b + 1] += starts[b];
    for (std::uint64_t i = 0; i < count; ++i) to[starts[(from[i] >> shift) & 0xFF]++] = from[i];
    std::swap(from, to);
  }
  // Four passes end where they began: in `values`.
}

// node2vec's index of `graph`: each node's distinct far blocks, sorted, in
// its own entries and padded; and the bit of each node whose candidates of
// positive weight (all of them, unweighted) lead to one node.
template <class Id>
void index_far_blocks(const BasicGraph<Id>& graph, BiasArrays<Id>& bias, const InterruptPoll& poll) {
  const std::uint64_t entries = entry_count(graph);
  bias.far_blocks = ArrayRegion<Id>::allocate(entries);
  bias.single_target = ArrayRegion<std::uint64_t>::allocate(graph.node_count() / 64 + 1);
  std::fill_n(bias.single_target.mutable_data(), bias.single_target.size(), 0);
  const Cell<Id>* cells = graph.cells().data();
  Id* far = bias.far_blocks.mutable_data();
  std::uint64_t* single = bias.single_target.mutable_data();
  const double* w = bias.weighted ? bias.weights.data() : nullptr;
  for_node_ranges(graph, poll, [&](std::uint64_t begin, std::uint64_t end) {
    std::vector<std::uint32_t> scratch;
    for (std::uint64_t node = begin; node < end; ++node) {
      const std::uint64_t block = graph.blocks()[node];
      const std::uint64_t first = block - node;
      const std::uint64_t degree =
          std::uint64_t{cells[block].header.forward_count} + cells[block].header.backward_count;
      std::uint64_t target = UINT64_MAX;  // the one far block of positive weight, if there is one
      bool one = true;
      for (std::uint64_t k = 0; k < degree; ++k) {
        const Id far_block = cells[entry_cell(block, k)].edge.block;
        far[first + k] = far_block;
        if (w && !(w[first + k] > 0.0)) continue;
        if (target == UINT64_MAX) target = far_block;
        one = one && far_block == target;
      }
      if (degree <= 16) {  // most nodes: an insertion sort, without std::sort's set-up
        for (std::uint64_t k = 1; k < degree; ++k) {
          const Id moving = far[first + k];
          std::uint64_t at = k;
          for (; at > 0 && far[first + at - 1] > moving; --at) far[first + at] = far[first + at - 1];
          far[first + at] = moving;
        }
      } else if constexpr (sizeof(Id) == 4) {
        sort_large(far + first, degree, scratch);
      } else {
        std::sort(far + first, far + first + degree);
      }
      Id* const last = std::unique(far + first, far + first + degree);
      std::fill(last, far + first + degree, BiasArrays<Id>::kNoBlock);
      if (one && target != UINT64_MAX) single[node / 64] |= std::uint64_t{1} << (node % 64);
    }
  });
}

// The arrays of a bias with per-entry `weights` (when weighted) and p, q.
template <class Id>
BiasArrays<Id> arrays_with(const BasicGraph<Id>& graph, ArrayRegion<double> weights, bool weighted, double p, double q,
                           const InterruptPoll& poll) {
  BiasArrays<Id> bias;
  bias.weighted = weighted;
  bias.second_order = !(p == 1.0 && q == 1.0);
  bias.p = p;
  bias.q = q;
  bias.inverse_p = 1.0 / p;
  bias.inverse_q = 1.0 / q;
  bias.most_acceptance = std::max({bias.inverse_p, 1.0, bias.inverse_q});
  bias.least_onward = std::min(1.0, bias.inverse_q);
  bias.most_onward = std::max(1.0, bias.inverse_q);
  if (weighted) {
    bias.weights = std::move(weights);
    bias.checkpoints = checkpoints_of(graph, bias.weights, poll);
  }
  if (bias.second_order) index_far_blocks(graph, bias, poll);
  return bias;
}

// The static weight of every entry of kg's graph: E[e] * R[relation] * N[x],
// in that order, a factor not given being 1.0.
template <class Id>
ArrayRegion<double> entry_weights(const KG& kg, const BiasInputs& inputs, const InterruptPoll& poll) {
  const BasicGraph<Id>& graph = kg.as<Id>();
  const BasicGraph<Id>& source = kg.source().as<Id>();
  const double* relation = inputs.relation_weights ? inputs.relation_weights->data() : nullptr;
  const double* node = inputs.node_weights ? inputs.node_weights->data() : nullptr;
  auto weight = [&](double edge, std::uint64_t relation_id, std::uint64_t far_node) {
    return (edge * (relation ? relation[relation_id] : 1.0)) * (node ? node[far_node] : 1.0);
  };
  const bool is_source = &graph == &source;
  ArrayRegion<double> weights;
  if (inputs.edge_weights) {
    require_triples(source);
    weights = source_edge_weights(source, inputs.edge_weights->data(), poll);
    if (!is_source) {
      // A restricted graph's entries are some of the source's: each takes its E.
      auto kept = ArrayRegion<double>::allocate(entry_count(graph));
      double* w = kept.mutable_data();
      const double* edge = weights.data();
      for_each_kept_entry<Id>(
          kg, poll,
          [&](std::uint64_t source_entry, std::uint64_t entry, std::uint64_t relation_id, std::uint64_t far_node) {
            w[entry] = weight(edge[source_entry], relation_id, far_node);
          });
      return kept;
    }
    if (!relation && !node) return weights;
  } else {
    weights = ArrayRegion<double>::allocate(entry_count(graph));
  }
  // The factors of relations and nodes, on E where it was given.
  double* w = weights.mutable_data();
  const bool has_edge = inputs.edge_weights.has_value();
  const Cell<Id>* cells = graph.cells().data();
  for_node_ranges(graph, poll, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t u = begin; u < end; ++u) {
      const std::uint64_t block = graph.blocks()[u];
      const std::uint64_t degree =
          std::uint64_t{cells[block].header.forward_count} + cells[block].header.backward_count;
      for (std::uint64_t k = 0; k < degree; ++k) {
        const EdgeCell<Id>& edge = cells[entry_cell(block, k)].edge;
        const std::uint64_t far_node = node ? cells[edge.block].header.node : 0;
        double& entry = w[block - u + k];
        entry = weight(has_edge ? entry : 1.0, edge.relation, far_node);
      }
    }
  });
  return weights;
}

}  // namespace

void check_restricted_from_source(const KG& kg) {
  kg.visit([&](const auto& graph) {
    using Id = typename std::decay_t<decltype(graph)>::IdType;
    for_each_kept_entry<Id>(kg, {}, [](std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t) {});
  });
}

bool knows_source_triples(const KG& kg) {
  return kg.source().visit([](const auto& source) { return lists_its_triples(source); });
}

template <class Token>
void source_triple_table(const KG& kg, Token* out, const InterruptPoll& poll) {
  kg.source().visit([&](const auto& source) {
    using Id = typename std::decay_t<decltype(source)>::IdType;
    require_triples(source);
    const ArrayRegion<Id> numbers = forward_triple_numbers(source, poll);
    const Cell<Id>* cells = source.cells().data();
    for_node_ranges(source, poll, [&](std::uint64_t begin, std::uint64_t end) {
      for (std::uint64_t u = begin; u < end; ++u) {
        const std::uint64_t block = source.blocks()[u];
        for (std::uint64_t k = 0; k < cells[block].header.forward_count; ++k) {
          const EdgeCell<Id>& edge = cells[entry_cell(block, k)].edge;
          Token* row = out + 3 * std::uint64_t{numbers[block - u + k]};
          row[0] = static_cast<Token>(u);
          row[1] = static_cast<Token>(edge.relation);
          row[2] = static_cast<Token>(cells[edge.block].header.node);
        }
      }
    });
  });
}

template void source_triple_table(const KG&, std::uint32_t*, const InterruptPoll&);
template void source_triple_table(const KG&, std::uint64_t*, const InterruptPoll&);

std::shared_ptr<const Bias> make_bias(const KG& kg, const BiasInputs& inputs, const InterruptPoll& poll) {
  const bool weighted = inputs.edge_weights || inputs.relation_weights || inputs.node_weights;
  return kg.visit([&](const auto& graph) {
    using Id = typename std::decay_t<decltype(graph)>::IdType;
    ArrayRegion<double> weights;
    if (weighted) weights = entry_weights<Id>(kg, inputs, poll);
    return std::make_shared<const Bias>(arrays_with(graph, std::move(weights), weighted, inputs.p, inputs.q, poll));
  });
}

std::shared_ptr<const Bias> bias_from_weights(const KG& kg, ArrayRegion<double> weights, bool weighted, double p,
                                              double q, const InterruptPoll& poll) {
  return kg.visit([&](const auto& graph) {
    return std::make_shared<const Bias>(arrays_with(graph, std::move(weights), weighted, p, q, poll));
  });
}

std::shared_ptr<const Bias> restrict_bias(const KG& parent, const KG& restricted, const InterruptPoll& poll) {
  const Bias& bias = *parent.bias();
  return restricted.visit([&](const auto& graph) {
    using Id = typename std::decay_t<decltype(graph)>::IdType;
    ArrayRegion<double> weights;
    if (bias.weighted()) {
      // The entries that remain keep their weights, in their order: a
      // restriction keeps each node's entries it allows, in order. The
      // restriction of the graph as read, applied to the parent's entries
      // (which it already allows or not), keeps those the new one does.
      weights = ArrayRegion<double>::allocate(entry_count(graph));
      const BasicGraph<Id>& from = parent.as<Id>();
      const Restriction& restriction = *restricted.restriction();
      const Cell<Id>* from_cells = from.cells().data();
      const Cell<Id>* cells = graph.cells().data();
      const double* from_w = bias.weights().data();
      double* w = weights.mutable_data();
      const bool keep_forward = restriction.direction != Direction::kBackward;
      const bool keep_backward = restriction.direction != Direction::kForward;
      for_node_ranges(graph, poll, [&](std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t u = begin; u < end; ++u) {
          const std::uint64_t from_block = from.blocks()[u];
          const HeaderCell<Id>& header = from_cells[from_block].header;
          std::uint64_t out = graph.blocks()[u] - u;
          const std::uint64_t out_end =
              out + cells[graph.blocks()[u]].header.forward_count + cells[graph.blocks()[u]].header.backward_count;
          for (std::uint64_t k = 0; k < std::uint64_t{header.forward_count} + header.backward_count; ++k) {
            const bool forward = k < header.forward_count;
            const EdgeCell<Id>& edge = from_cells[entry_cell(from_block, k)].edge;
            if (!(forward ? keep_forward : keep_backward) || !restriction.relations[edge.relation]) continue;
            if (out >= out_end) throw std::logic_error("a restriction does not match its graph");
            w[out++] = from_w[from_block - u + k];
          }
          if (out != out_end) throw std::logic_error("a restriction does not match its graph");
        }
      });
    }
    return std::make_shared<const Bias>(
        arrays_with(graph, std::move(weights), bias.weighted(), bias.p(), bias.q(), poll));
  });
}

}  // namespace vantrel
