// A sampler's own walks drawn many at once, as tokens: the next walks of
// its stream (stream 0 of its key), as that many calls of a single walk
// would draw them.
#pragma once

#include <cstdint>

#include "core/interrupt.hpp"
#include "graph/kg.hpp"
#include "random/random.hpp"
#include "walk/walk_rules.hpp"

namespace vantrel {

// The next `count` walks of `rng`, drawn as `count` calls of a single walk
// would draw them: Poisson length, cap, start, steps. `bytes_per_token` is
// what the caller will spend per token besides the token itself, counted
// against memory before each walk is drawn. `poll` is called between walks
// and inside long ones. On failure `rng` stands after the draws made.
template <class Token>
WalkTokens<Token> draw_stream_walks(const KG& kg, const WalkRules& rules, StdRng& rng, std::uint64_t count,
                                    std::uint64_t bytes_per_token, const InterruptPoll& poll);

extern template WalkTokens<std::uint32_t> draw_stream_walks(const KG&, const WalkRules&, StdRng&, std::uint64_t,
                                                            std::uint64_t, const InterruptPoll&);
extern template WalkTokens<std::uint64_t> draw_stream_walks(const KG&, const WalkRules&, StdRng&, std::uint64_t,
                                                            std::uint64_t, const InterruptPoll&);

}  // namespace vantrel
