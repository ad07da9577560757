// Making the bias of biased walks: the static weight of every entry from
// the weights given, checked, with node2vec's p and q; for a graph, for a
// restriction of a biased graph, and from a snapshot's weights. The rules
// of what may be a weight, p or q are here, for every caller.
#pragma once

#include <cmath>
#include <memory>
#include <optional>
#include <vector>

#include "core/interrupt.hpp"
#include "core/memory.hpp"
#include "graph/biased_step.hpp"
#include "graph/kg.hpp"

namespace vantrel {

// What biased() was given: each factor, or nothing where it was not.
struct BiasInputs {
  std::optional<std::vector<double>> edge_weights;      // one per triple of the graph as read
  std::optional<std::vector<double>> relation_weights;  // one per relation id
  std::optional<std::vector<double>> node_weights;      // one per node id
  double p = 1.0;
  double q = 1.0;
};

// Whether `value` can be an edge, relation or node weight: finite and >= 0.
inline bool is_weight(double value) { return std::isfinite(value) && value >= 0.0; }

// Whether `value` can be node2vec's p or q: its reciprocal, in float64, is
// finite and above 0 (so the value is positive, finite and not so small
// that 1 / value overflows).
inline bool is_return_parameter(double value) {
  const double reciprocal = 1.0 / value;
  return std::isfinite(reciprocal) && reciprocal > 0.0;
}

// The bias of `inputs` on `kg` (unbiased: its weights, if any, are
// replaced). Lengths and values must have been checked: edge weights one per
// triple of kg.source(), relation weights one per relation, node weights
// one per node, every weight is_weight(), p and q is_return_parameter(). Throws
// BiasError where a node's weights cannot be drawn from (their sum or a
// product overflows, or a positive sum is below the smallest normal
// number), naming the node of lowest id; std::bad_alloc.
std::shared_ptr<const Bias> make_bias(const KG& kg, const BiasInputs& inputs, const InterruptPoll& poll = {});

// The bias of `parent`'s restricted to `restricted` (a restriction of
// parent's graph): the same weights on the entries that remain, the same p
// and q.
std::shared_ptr<const Bias> restrict_bias(const KG& parent, const KG& restricted, const InterruptPoll& poll = {});

// The bias whose per-entry weights are `weights` (empty: unweighted) with
// p and q, on `kg`'s graph: what loading a snapshot of a biased graph makes.
// Throws BiasError as make_bias() does; std::bad_alloc.
std::shared_ptr<const Bias> bias_from_weights(const KG& kg, ArrayRegion<double> weights, bool weighted, double p,
                                              double q, const InterruptPoll& poll = {});

}  // namespace vantrel
