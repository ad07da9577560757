#include "graph/kg.hpp"

namespace vantrel {

template <class Token>
std::uint64_t KG::walk(std::uint64_t start, std::uint64_t path_len, StdRng& rng, Token* out,
                       PollingMeter& meter) const {
  return visit_walker(*this, [&](const auto& walker) { return walk_from(walker, start, path_len, rng, out, meter); });
}

template std::uint64_t KG::walk(std::uint64_t, std::uint64_t, StdRng&, std::uint32_t*, PollingMeter&) const;
template std::uint64_t KG::walk(std::uint64_t, std::uint64_t, StdRng&, std::uint64_t*, PollingMeter&) const;

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
