// Making a metapath sampler's index: each node's entries sorted by step key.
#pragma once

#include <memory>
#include <vector>

#include "core/interrupt.hpp"
#include "graph/kg.hpp"
#include "graph/metapath_step.hpp"

namespace vantrel {

// The metapath of `pattern` (step keys, each below 2 × the relation count;
// not empty) over the graph `kg` walks, its entries indexed on every CPU.
// Throws std::bad_alloc.
std::shared_ptr<const Metapath> make_metapath(const KG& kg, std::vector<StepKey> pattern,
                                              const InterruptPoll& poll = {});

}  // namespace vantrel
