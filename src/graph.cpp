#include "graph.hpp"

namespace vantrel {

template <class Id>
void BasicGraph<Id>::walk(std::uint64_t path_len, StdRng& rng, std::vector<PathPiece>& out,
                          const InterruptPoll& poll) const {
  out.clear();
  Id block = block_of_[rng.gen_range(0, node_count())];
  out.reserve(path_len + 2);
  out.push_back(node_piece(block));
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
    out.push_back({relation_labels_[edge.relation], forward ? Suffix::kForward : Suffix::kBackward,
                   relation_labels_.is_ascii_label(edge.relation)});
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
  out.push_back(node_piece(block));
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

std::vector<std::string> KG::sample_path(std::uint64_t path_len, StdRng& rng, std::string_view redge_suffix,
                                         std::string_view ledge_suffix) const {
  std::vector<PathPiece> pieces;
  walk(path_len, rng, pieces);
  std::vector<std::string> path;
  path.reserve(pieces.size());
  for (const PathPiece& piece : pieces) {
    std::string& text = path.emplace_back(piece.label);
    if (piece.suffix == Suffix::kForward) text += redge_suffix;
    if (piece.suffix == Suffix::kBackward) text += ledge_suffix;
  }
  return path;
}

}  // namespace vantrel
