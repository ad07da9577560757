// The order of a graph's triples as read, kept small where the triples came
// grouped by head: each head's triples one after another, the heads in any
// order (as dumps sorted or grouped by subject, and Turtle's abbreviations,
// give them). Then the heads in the order their groups came, one per head,
// number the triples as well as every triple's head does: a head's forward
// entries, in order, are the triples of its group.
#pragma once

#include <cstdint>

#include "core/interrupt.hpp"
#include "core/memory.hpp"

namespace vantrel {

// Whether `triples` triples that make `runs` runs of equal heads, of
// `heading_nodes` nodes that head a triple, keep their order as runs: each
// heading node heads one run (it heads at least one), and the runs take at
// most half the room of every triple's head.
constexpr bool keeps_head_runs(std::uint64_t triples, std::uint64_t runs, std::uint64_t heading_nodes) {
  return triples != 0 && runs == heading_nodes && heading_nodes <= triples / 2;
}

// The heads of the runs of equal heads in `heads` (each triple's head, in
// input order), in order: where each of the `heading_nodes` nodes that head
// a triple heads one run, and the runs take at most half the room of the
// heads. Empty otherwise: some head's triples are apart, or grouping saves
// too little to be worth a second order of triples.
template <class Id>
ArrayRegion<Id> head_runs_of(const ArrayRegion<Id>& heads, std::uint64_t heading_nodes, const InterruptPoll& poll);

extern template ArrayRegion<std::uint32_t> head_runs_of(const ArrayRegion<std::uint32_t>&, std::uint64_t,
                                                        const InterruptPoll&);
extern template ArrayRegion<std::uint64_t> head_runs_of(const ArrayRegion<std::uint64_t>&, std::uint64_t,
                                                        const InterruptPoll&);

}  // namespace vantrel
