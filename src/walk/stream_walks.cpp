#include "walk/stream_walks.hpp"

#include <new>
#include <vector>

#include "core/memory.hpp"
#include "graph/walker.hpp"

namespace vantrel {

namespace {

// a + b, or std::bad_alloc when the sum of sizes overflows.
std::uint64_t add_sizes(std::uint64_t a, std::uint64_t b) {
  if (b > UINT64_MAX - a) throw std::bad_alloc();
  return a + b;
}

}  // namespace

template <class Token>
WalkTokens<Token> draw_stream_walks(const KG& kg, const WalkRules& rules, StdRng& rng, std::uint64_t count,
                                    std::uint64_t bytes_per_token, const InterruptPoll& poll) {
  ensure_fits_in_memory(add_sizes(count, 1), sizeof(std::uint64_t));
  auto offsets = ArrayRegion<std::uint64_t>::allocate(count + 1);
  std::uint64_t* const ends = offsets.mutable_data();
  ends[0] = 0;
  // The most tokens that memory could hold, checked as each walk's length is known.
  const std::uint64_t most_tokens = physical_memory_bytes() / (sizeof(Token) + bytes_per_token);
  std::vector<Token> tokens;
  const double expected = expected_items(rules, Items::kPath);
  if (expected * static_cast<double>(count) < static_cast<double>(most_tokens) / 4) {
    tokens.reserve(static_cast<std::size_t>(expected * static_cast<double>(count)));
  }
  // One meter across the walks: short walks add up to a poll as a long one does.
  PollingMeter meter(poll);
  visit_walker(kg, [&](const auto& graph) {
    for (std::uint64_t k = 0; k < count; ++k) {
      meter.add(1);
      const std::uint64_t path_len = draw_path_len(rules, rng);
      const std::uint64_t start = graph.draw_start(rng);
      const std::uint64_t end = add_sizes(ends[k], add_sizes(path_len, 2));
      if (end >= most_tokens) throw std::bad_alloc();
      tokens.resize(end);
      ends[k + 1] = ends[k] + walk_from(graph, start, path_len, rng, tokens.data() + ends[k], meter);
    }
  });
  tokens.resize(ends[count]);  // walks that ended early (restricted graphs) leave room at the end
  return {ArrayRegion<Token>::adopt(std::move(tokens)), std::move(offsets)};
}

template WalkTokens<std::uint32_t> draw_stream_walks(const KG&, const WalkRules&, StdRng&, std::uint64_t, std::uint64_t,
                                                     const InterruptPoll&);
template WalkTokens<std::uint64_t> draw_stream_walks(const KG&, const WalkRules&, StdRng&, std::uint64_t, std::uint64_t,
                                                     const InterruptPoll&);

}  // namespace vantrel
