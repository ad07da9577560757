#include "graph.hpp"

namespace vantrel {

template <class Id>
template <class Token>
void BasicGraph<Id>::walk(std::uint64_t start, std::uint64_t path_len, StdRng& rng, Token* out,
                          const InterruptPoll& poll) const {
  const std::uint64_t relation_token_base = node_count();
  Id block = block_of_[start];
  *out++ = static_cast<Token>(start);
  // The position, among the current node's candidates, of the first entry of
  // the edge just used; kNone before the first step.
  constexpr std::uint64_t kNone = UINT64_MAX;
  std::uint64_t removed = kNone;
  constexpr std::uint64_t kStepsPerPoll = std::uint64_t{1} << 20;
  for (std::uint64_t step = 0; step < path_len; ++step) {
    if (step % kStepsPerPoll == kStepsPerPoll - 1 && poll) poll();
    const HeaderCell<Id>& header = cells_[block].header;
    const std::uint64_t fwd_count = header.forward_count;
    const std::uint64_t candidates = fwd_count + header.backward_count;
    std::uint64_t choice;
    if (removed != kNone && candidates >= 2) {
      // Leave the previous edge out: draw below the reduced count and step
      // over the removed position.
      choice = rng.gen_range(0, candidates - 1);
      if (choice >= removed) ++choice;
    } else {
      choice = rng.gen_range(0, candidates);
    }
    const bool forward = choice < fwd_count;
    const EdgeCell<Id>& edge = cells_[block + 1 + choice].edge;
    *out++ = static_cast<Token>(relation_token_base + 2 * std::uint64_t{edge.relation} + (forward ? 0 : 1));
    // Arriving backward, the edge stands among the new node's forward
    // entries only. Arriving forward it stands among its backward entries,
    // unless it is a self-loop: then its forward entry, the one just chosen,
    // comes first.
    if (!forward) {
      removed = edge.twin;
    } else if (edge.block == block) {
      removed = choice;
    } else {
      removed = std::uint64_t{cells_[edge.block].header.forward_count} + edge.twin;
    }
    block = edge.block;
  }
  *out = static_cast<Token>(cells_[block].header.node);
}

template <class Id>
std::vector<typename BasicGraph<Id>::Adjacent> BasicGraph<Id>::entries(std::uint64_t node, bool forward) const {
  const Id block = block_of_[node];
  const HeaderCell<Id>& header = cells_[block].header;
  const Id begin = block + 1 + (forward ? 0 : header.forward_count);
  const Id count = forward ? header.forward_count : header.backward_count;
  std::vector<Adjacent> result;
  for (Id k = 0; k < count; ++k) {
    const EdgeCell<Id>& edge = cells_[begin + k].edge;
    result.push_back({cells_[edge.block].header.node, edge.relation, edge.twin});
  }
  return result;
}

template class BasicGraph<std::uint32_t>;
template class BasicGraph<std::uint64_t>;
template void BasicGraph<std::uint32_t>::walk(std::uint64_t, std::uint64_t, StdRng&, std::uint32_t*,
                                              const InterruptPoll&) const;
template void BasicGraph<std::uint32_t>::walk(std::uint64_t, std::uint64_t, StdRng&, std::uint64_t*,
                                              const InterruptPoll&) const;
template void BasicGraph<std::uint64_t>::walk(std::uint64_t, std::uint64_t, StdRng&, std::uint32_t*,
                                              const InterruptPoll&) const;
template void BasicGraph<std::uint64_t>::walk(std::uint64_t, std::uint64_t, StdRng&, std::uint64_t*,
                                              const InterruptPoll&) const;

std::vector<std::string> KG::sample_path(std::uint64_t path_len, StdRng& rng, std::string_view redge_suffix,
                                         std::string_view ledge_suffix) const {
  const std::uint64_t start = draw_start(rng);
  std::vector<std::uint64_t> tokens(path_len + 2);
  walk(start, path_len, rng, tokens.data());
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
