#include "graph/graph.hpp"

namespace vantrel {

template <class Id>
template <class Token>
std::uint64_t BasicGraph<Id>::walk(std::uint64_t start, std::uint64_t path_len, StdRng& rng, Token* out,
                                   const InterruptPoll& poll) const {
  WalkPosition<Id> at = begin_at(start);
  Token* const first = out;
  *out++ = static_cast<Token>(start);
  for (std::uint64_t step_index = 0; step_index < path_len; ++step_index) {
    if (step_index % kItemsPerPoll == kItemsPerPoll - 1 && poll) poll();
    const std::uint64_t token = step(at, rng);
    if (token == kDeadEnd) break;
    *out++ = static_cast<Token>(token);
  }
  *out = static_cast<Token>(end_node(at));
  return static_cast<std::uint64_t>(out - first) + 1;
}

template class BasicGraph<std::uint32_t>;
template class BasicGraph<std::uint64_t>;
template std::uint64_t BasicGraph<std::uint32_t>::walk(std::uint64_t, std::uint64_t, StdRng&, std::uint32_t*,
                                                       const InterruptPoll&) const;
template std::uint64_t BasicGraph<std::uint32_t>::walk(std::uint64_t, std::uint64_t, StdRng&, std::uint64_t*,
                                                       const InterruptPoll&) const;
template std::uint64_t BasicGraph<std::uint64_t>::walk(std::uint64_t, std::uint64_t, StdRng&, std::uint32_t*,
                                                       const InterruptPoll&) const;
template std::uint64_t BasicGraph<std::uint64_t>::walk(std::uint64_t, std::uint64_t, StdRng&, std::uint64_t*,
                                                       const InterruptPoll&) const;

std::vector<std::string> KG::sample_path(std::uint64_t path_len, StdRng& rng, std::string_view redge_suffix,
                                         std::string_view ledge_suffix) const {
  const std::uint64_t start = draw_start(rng);
  std::vector<std::uint64_t> tokens(path_len + 2);
  tokens.resize(walk(start, path_len, rng, tokens.data()));
  std::vector<std::string> path;
  path.reserve(tokens.size());
  for (const std::uint64_t token : tokens) {
    const PathPiece piece = token_text(token);
    std::string& text = path.emplace_back(piece.label);
    if (piece.suffix == Suffix::kForward) text += redge_suffix;
    if (piece.suffix == Suffix::kBackward) text += ledge_suffix;
  }
  return path;
}

}  // namespace vantrel
