// Walks by number drawn a few at a time as routes, their nodes, steps and
// the entries they took, then listed: walks that list the triples they
// followed, and walks whose nodes are listed by other nodes (relabelled),
// from their start or through their focus (mid walks). The walks that
// WalkKind says are drawn so; the others are drawn interleaved
// (walk/interleaved_walks).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/interrupt.hpp"
#include "graph/kg.hpp"
#include "walk/walk_request.hpp"
#include "walk/walk_rules.hpp"

namespace vantrel {

// How many routes a drawer takes steps of in turn.
inline constexpr std::size_t kRoutesInFlight = 8;

// Appends the walks of `request` (of a sampler of `rules` as the request
// asks for them) to buffers.tokens, and to buffers.ends the end of each in
// buffers.tokens, in number order, on the calling thread. Throws
// EmptyRangeError when the start of a walk is drawn on an empty graph,
// std::bad_alloc (before any walk is drawn where the walks could not fit in
// memory).
template <class Token>
void draw_routes(const KG& kg, const WalkRules& rules, const WalkRequest& request, WalkBuffers<Token>& buffers,
                 const InterruptPoll& poll);

extern template void draw_routes(const KG&, const WalkRules&, const WalkRequest&, WalkBuffers<std::uint32_t>&,
                                 const InterruptPoll&);
extern template void draw_routes(const KG&, const WalkRules&, const WalkRequest&, WalkBuffers<std::uint64_t>&,
                                 const InterruptPoll&);

}  // namespace vantrel
