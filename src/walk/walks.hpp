// Drawing many walks at once, as tokens: the next walks of a sampler's own
// stream, and walks by number, each from a stream of its own, on several
// threads with results that do not depend on the thread count.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "core/errors.hpp"
#include "core/interrupt.hpp"
#include "core/memory.hpp"
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

// Walks numbered first to stop - 1. Walk i is drawn like a sampler's own
// walk, from stream i + 1 of the sampler's key, and depends on nothing else.
// When slots of the longest walk for every walk fit in memory (and in
// `most_padded_bytes`, with `bytes_per_token` each) and waste little, the
// walks are drawn into them in one pass and moved together; otherwise every
// walk's length is drawn first, so that a request whose tokens exceed
// memory fails before any walk is drawn, and then the walks are drawn in
// place. Walks that `kind` says are drawn as routes are drawn by walk/routes.
// With kind.unique, walks that repeat an earlier one are left out.
// Throws EmptyRangeError on an empty graph when the range is not empty.
template <class Token>
WalkTokens<Token> draw_numbered_walks(const KG& kg, const WalkRules& rules, std::uint64_t first, std::uint64_t stop,
                                      StartRule start, unsigned threads, std::uint64_t bytes_per_token,
                                      const InterruptPoll& poll, Items items = Items::kPath,
                                      std::uint64_t most_padded_bytes = UINT64_MAX, const WalkKind& kind = {});

// The most bytes of padded slots that a chunk of walks takes: the buffer
// that a corpus writer's thread reuses stays within a few hundred megabytes.
inline constexpr std::uint64_t kMostPaddedChunkBytes = std::uint64_t{256} << 20;

// Walks numbered first to stop - 1, as draw_numbered_walks draws them, on
// the calling thread, into `tokens` and `ends` (stop - first + 1 values from
// 0): walk k is tokens[ends[k] .. ends[k + 1]). Padded slots take at most
// `most_padded_bytes`. Both vectors are resized as needed, `tokens` only
// ever grown, so that their storage is reused from call to call.
template <class Token>
void draw_numbered_chunk(const KG& kg, const WalkRules& rules, std::uint64_t first, std::uint64_t stop, StartRule start,
                         std::vector<Token>& tokens, std::vector<std::uint64_t>& ends, const InterruptPoll& poll,
                         Items items = Items::kPath, std::uint64_t most_padded_bytes = kMostPaddedChunkBytes,
                         const WalkKind& kind = {});

extern template void draw_numbered_chunk(const KG&, const WalkRules&, std::uint64_t, std::uint64_t, StartRule,
                                         std::vector<std::uint32_t>&, std::vector<std::uint64_t>&, const InterruptPoll&,
                                         Items, std::uint64_t, const WalkKind&);
extern template void draw_numbered_chunk(const KG&, const WalkRules&, std::uint64_t, std::uint64_t, StartRule,
                                         std::vector<std::uint64_t>&, std::vector<std::uint64_t>&, const InterruptPoll&,
                                         Items, std::uint64_t, const WalkKind&);
extern template WalkTokens<std::uint32_t> draw_numbered_walks(const KG&, const WalkRules&, std::uint64_t, std::uint64_t,
                                                              StartRule, unsigned, std::uint64_t, const InterruptPoll&,
                                                              Items, std::uint64_t, const WalkKind&);
extern template WalkTokens<std::uint64_t> draw_numbered_walks(const KG&, const WalkRules&, std::uint64_t, std::uint64_t,
                                                              StartRule, unsigned, std::uint64_t, const InterruptPoll&,
                                                              Items, std::uint64_t, const WalkKind&);

}  // namespace vantrel
