// Walks by number, as tokens: each from a stream of its own, on several
// threads with results that do not depend on the thread count, in one of
// two layouts (padded slots, or every length drawn first) or drawn one by
// one as routes (walk/routes) where their kind asks for it.
#pragma once

#include <cstdint>

#include "core/interrupt.hpp"
#include "graph/kg.hpp"
#include "walk/walk_request.hpp"
#include "walk/walk_rules.hpp"

namespace vantrel {

// Walks `request` asks for, of a sampler of `rules`. Walk i is drawn like a
// sampler's own walk, from stream i + 1 of the sampler's key, and depends
// on nothing else. When slots of the longest walk for every walk fit in
// memory (and in `most_padded_bytes`, with `bytes_per_token` each) and waste
// little, the walks are drawn into them in one pass and moved together;
// otherwise every walk's length is drawn first, so that a request whose
// tokens exceed memory fails before any walk is drawn, and then the walks
// are drawn in place. Walks that request.kind says are drawn as routes are
// drawn by walk/routes. With kind.unique, walks that repeat an earlier one
// are left out. Throws EmptyRangeError on an empty graph when the range is
// not empty.
template <class Token>
WalkTokens<Token> draw_numbered_walks(const KG& kg, const WalkRules& rules, const WalkRequest& request,
                                      std::uint64_t bytes_per_token, const InterruptPoll& poll,
                                      std::uint64_t most_padded_bytes = UINT64_MAX);

// The most bytes of padded slots that a chunk of walks takes: the buffer
// that a corpus writer's thread reuses stays within a few hundred megabytes.
inline constexpr std::uint64_t kMostPaddedChunkBytes = std::uint64_t{256} << 20;

// The walks `request` asks for, as draw_numbered_walks draws them, on the
// calling thread (request.threads aside), into `buffers` (ends: one more
// than there are walks, from 0). Padded slots take at most
// `most_padded_bytes`. The buffers are resized as needed, tokens only ever
// grown, so that their storage is reused from call to call. Repeats are
// not left out here (the corpus writer leaves them out across chunks).
template <class Token>
void draw_numbered_chunk(const KG& kg, const WalkRules& rules, const WalkRequest& request, WalkBuffers<Token>& buffers,
                         const InterruptPoll& poll, std::uint64_t most_padded_bytes = kMostPaddedChunkBytes);

extern template WalkTokens<std::uint32_t> draw_numbered_walks(const KG&, const WalkRules&, const WalkRequest&,
                                                              std::uint64_t, const InterruptPoll&, std::uint64_t);
extern template WalkTokens<std::uint64_t> draw_numbered_walks(const KG&, const WalkRules&, const WalkRequest&,
                                                              std::uint64_t, const InterruptPoll&, std::uint64_t);
extern template void draw_numbered_chunk(const KG&, const WalkRules&, const WalkRequest&, WalkBuffers<std::uint32_t>&,
                                         const InterruptPoll&, std::uint64_t);
extern template void draw_numbered_chunk(const KG&, const WalkRules&, const WalkRequest&, WalkBuffers<std::uint64_t>&,
                                         const InterruptPoll&, std::uint64_t);

}  // namespace vantrel
