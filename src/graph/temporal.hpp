// Making a time sampler's index: each node's candidates sorted by (time,
// candidate), with the ranks of their times in that order, a window's
// bounds by rank and, for the exponential bias, the running sums of their
// weights. The rules of what may be a time, a window or a decay are here,
// for every caller.
#pragma once

#include <cmath>
#include <memory>

#include "core/interrupt.hpp"
#include "graph/kg.hpp"
#include "graph/temporal_step.hpp"

namespace vantrel {

// Whether `value` can be a window: a number >= 0, not NaN (infinity: no limit).
inline bool is_window(double value) { return value >= 0.0; }
// Whether `value` can be a decay: a positive finite number.
inline bool is_decay(double value) { return std::isfinite(value) && value > 0.0; }

// The time index of `rule` over the graph `kg` walks (restricted or not),
// from `times`, one per triple of kg.source() (each finite), on every CPU.
// Throws std::invalid_argument where the graph as read cannot list its
// triples; std::bad_alloc.
std::shared_ptr<const Temporal> make_temporal(const KG& kg, const TemporalRule& rule,
                                              std::shared_ptr<const TripleTimes> times, const InterruptPoll& poll = {});

}  // namespace vantrel
