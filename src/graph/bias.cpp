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
#include "graph/layout.hpp"
#include "graph/sampler_restriction.hpp"
#include "graph/source_triples.hpp"
#include "graph/weighted_pick.hpp"

namespace vantrel {

namespace {

// The weight in `edge` (one per triple, in input order) of the triple that
// each entry of `source` lists, at the entry's number: a forward entry's
// from its triple's number, a backward entry's from its twin (a forward
// entry of the far node).
template <class Id>
ArrayRegion<double> source_edge_weights(const BasicGraph<Id>& source, const double* edge, const InterruptPoll& poll) {
  auto weights = ArrayRegion<double>::allocate(source.entry_count());
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
  // A backward entry's twin is a forward one: entry `twin` of the far node.
  auto twin_entry = [cells](const EdgeCell<Id>& edge) {
    return first_entry(edge.block, cells[edge.block].header.node) + edge.twin;
  };
  for_node_ranges(source.node_count(), poll, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t u = begin; u < end; ++u) {
      const std::uint64_t block = source.blocks()[u];
      const HeaderCell<Id>& header = cells[block].header;
      for (std::uint64_t k = header.forward_count; k < degree(header); ++k) {
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
        w[first_entry(block, u) + k] = w[twin_entry(cells[cell].edge)];
      }
    }
  });
  return weights;
}

// Whether the weights of a node's candidates, adding up to `sum`, can be
// drawn from: their sum finite, and a positive sum at least the smallest
// normal number (below it, running sums lose the precision that the draw
// needs). Weights are >= 0, so a weight that overflowed (a product
// E * R * N may, though its factors do not), or that is NaN (inf * 0),
// leaves the sum infinite or NaN: the sum alone tells.
bool weights_can_be_drawn(double sum) {
  return std::isfinite(sum) && (sum == 0.0 || sum >= std::numeric_limits<double>::min());
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
  const std::uint64_t first = first_entry(block, node);
  double sum = 0.0;
  for (std::uint64_t entry = first; entry < first + degree(header); ++entry) sum = sum + w[entry];
  // Appended piece by piece: g++ 12 warns of overlapping copies in
  // "text" + std::string(...) (its bug 105329).
  std::string message("the weights of the candidates of node '");
  message.append(graph.node_label(node)).append("' (id ").append(std::to_string(node)).append(")");
  if (std::isfinite(sum)) {
    message.append(" add up to ")
        .append(number_text(sum))
        .append(", below the smallest normal number (")
        .append(number_text(std::numeric_limits<double>::min()))
        .append("): rescale the weights");
  } else {
    message.append(" overflow: a weight (edge x relation x node) or their sum is infinite; rescale the weights");
  }
  throw BiasError(message);
}

// The checkpoints of `weights` over `graph`'s entries: at entry
// j * kCheckpointEntries, strictly inside a node's entries, the running sum
// of that node's entries before it. Throws BiasError, naming the node of
// lowest id, where a node's weights cannot be drawn from.
template <class Id>
ArrayRegion<double> checkpoints_of(const BasicGraph<Id>& graph, const ArrayRegion<double>& weights,
                                   const InterruptPoll& poll) {
  const std::uint64_t entries = graph.entry_count();
  auto checkpoints = ArrayRegion<double>::allocate(entries / kCheckpointEntries + 1);
  std::fill_n(checkpoints.mutable_data(), checkpoints.size(), 0.0);
  const Cell<Id>* cells = graph.cells().data();
  const double* w = weights.data();
  std::atomic<std::uint64_t> first_refused{UINT64_MAX};
  for_node_ranges(graph.node_count(), poll, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t node = begin; node < end; ++node) {
      const std::uint64_t block = graph.blocks()[node];
      const std::uint64_t first = first_entry(block, node);
      const std::uint64_t end_entry = first + degree(cells[block].header);
      double sum = 0.0;
      for (std::uint64_t entry = first; entry < end_entry; ++entry) {
        if (entry % kCheckpointEntries == 0 && entry > first)
          checkpoints.mutable_data()[entry / kCheckpointEntries] = sum;
        sum = sum + w[entry];
      }
      if (!weights_can_be_drawn(sum)) [[unlikely]] {
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

// node2vec's index of `graph`: each node's distinct far blocks, padded to
// its entry count, in its own entries, laid out as graph/far_blocks says;
// and the bit of each node whose candidates of positive weight (all
// of them, unweighted) lead to one node.
template <class Id>
void index_far_blocks(const BasicGraph<Id>& graph, BiasArrays<Id>& bias, const InterruptPoll& poll) {
  const std::uint64_t entries = graph.entry_count();
  bias.far_blocks = ArrayRegion<Id>::allocate(entries);
  bias.single_target = ArrayRegion<std::uint64_t>::allocate(graph.node_count() / 64 + 1);
  std::fill_n(bias.single_target.mutable_data(), bias.single_target.size(), 0);
  const Cell<Id>* cells = graph.cells().data();
  Id* far = bias.far_blocks.mutable_data();
  std::uint64_t* single = bias.single_target.mutable_data();
  const double* w = bias.weighted ? bias.weights.data() : nullptr;
  for_node_ranges(graph.node_count(), poll, [&](std::uint64_t begin, std::uint64_t end) {
    std::vector<std::uint32_t> scratch;
    std::vector<Id> sorted;
    for (std::uint64_t node = begin; node < end; ++node) {
      const std::uint64_t block = graph.blocks()[node];
      const std::uint64_t first = first_entry(block, node);
      const std::uint64_t candidates = degree(cells[block].header);
      std::uint64_t target = UINT64_MAX;  // the one far block of positive weight, if there is one
      bool one = true;
      for (std::uint64_t k = 0; k < candidates; ++k) {
        const Id far_block = cells[entry_cell(block, k)].edge.block;
        far[first + k] = far_block;
        if (w && !(w[first + k] > 0.0)) continue;
        if (target == UINT64_MAX) target = far_block;
        one = one && far_block == target;
      }
      if (candidates <= 16) {  // most nodes: an insertion sort, without std::sort's set-up
        for (std::uint64_t k = 1; k < candidates; ++k) {
          const Id moving = far[first + k];
          std::uint64_t at = k;
          for (; at > 0 && far[first + at - 1] > moving; --at) far[first + at] = far[first + at - 1];
          far[first + at] = moving;
        }
      } else if constexpr (sizeof(Id) == 4) {
        sort_large(far + first, candidates, scratch);
      } else {
        std::sort(far + first, far + first + candidates);
      }
      Id* const last = std::unique(far + first, far + first + candidates);
      std::fill(last, far + first + candidates, BiasArrays<Id>::kNoBlock);
      if (far_blocks_are_a_tree(candidates)) to_eytzinger_order(far + first, candidates, sorted);
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
      auto kept = ArrayRegion<double>::allocate(graph.entry_count());
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
    weights = ArrayRegion<double>::allocate(graph.entry_count());
  }
  // The factors of relations and nodes, on E where it was given.
  double* w = weights.mutable_data();
  const bool has_edge = inputs.edge_weights.has_value();
  const Cell<Id>* cells = graph.cells().data();
  for_node_ranges(graph.node_count(), poll, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t u = begin; u < end; ++u) {
      const std::uint64_t block = graph.blocks()[u];
      for (std::uint64_t k = 0; k < degree(cells[block].header); ++k) {
        const EdgeCell<Id>& edge = cells[entry_cell(block, k)].edge;
        const std::uint64_t far_node = node ? cells[edge.block].header.node : 0;
        double& entry = w[first_entry(block, u) + k];
        entry = weight(has_edge ? entry : 1.0, edge.relation, far_node);
      }
    }
  });
  return weights;
}

}  // namespace

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
      weights = ArrayRegion<double>::allocate(graph.entry_count());
      const BasicGraph<Id>& from = parent.as<Id>();
      const Restriction& restriction = *restricted.restriction();
      const Cell<Id>* from_cells = from.cells().data();
      const Cell<Id>* cells = graph.cells().data();
      const double* from_w = bias.weights().data();
      double* w = weights.mutable_data();
      for_node_ranges(graph.node_count(), poll, [&](std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t u = begin; u < end; ++u) {
          const std::uint64_t from_block = from.blocks()[u];
          const HeaderCell<Id>& header = from_cells[from_block].header;
          std::uint64_t out = first_entry(graph.blocks()[u], u);
          const std::uint64_t out_end = out + degree(cells[graph.blocks()[u]].header);
          for (std::uint64_t k = 0; k < degree(header); ++k) {
            const bool forward = k < header.forward_count;
            const EdgeCell<Id>& edge = from_cells[entry_cell(from_block, k)].edge;
            if (!restriction.keeps(edge.relation, forward)) continue;
            if (out >= out_end) throw std::logic_error("a restriction does not match its graph");
            w[out++] = from_w[first_entry(from_block, u) + k];
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
