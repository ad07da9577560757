#include "graph.hpp"

#include <cstring>

namespace vantrel {

namespace {

constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;

inline std::uint64_t mix(std::uint64_t h) {
  h ^= h >> 32;
  h *= 0xD6E8FEB86659FD93ull;
  h ^= h >> 32;
  return h;
}

// Node ids reach at most twice the number of triples; narrow ids must also
// leave the table's empty marker free.
bool fits_narrow(std::uint64_t triples) {
  return triples < (std::uint64_t{1} << 31) - 1;
}

}  // namespace

std::uint64_t hash_label(std::string_view text) {
  const char* p = text.data();
  std::size_t n = text.size();
  std::uint64_t h = kMultiplier ^ n;
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    h = (h ^ word) * kMultiplier;
    h ^= h >> 29;
  }
  if (n > 0) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, n);
    h = (h ^ word) * kMultiplier;
  }
  return mix(h);
}

namespace {

template <class Id>
BasicGraph<Id> build_from_triples(std::vector<Triple>& triples) {
  GraphBuilder<Id> builder(triples.size());
  for (const Triple& triple : triples) builder.add(triple.head, triple.relation, triple.tail);
  BasicGraph<Id> graph = std::move(builder).finish();
  std::vector<Triple>().swap(triples);
  return graph;
}

template <class Id>
BasicGraph<Id> build_from_content(FileContent& content, std::uint64_t lines) {
  const std::string_view text = content.text();
  GraphBuilder<Id> builder(lines);
  for_each_triple(text, TripleOrder::HRT,
                  [&](std::string_view head, std::string_view relation, std::string_view tail) {
                    builder.add(head, relation, tail);
                  });
  builder.flush();
  content = FileContent();
  return std::move(builder).finish();
}

}  // namespace

KG from_triples(std::vector<Triple> triples, IdWidth width) {
  if (width == IdWidth::kNarrowest && fits_narrow(triples.size())) {
    return KG(build_from_triples<std::uint32_t>(triples));
  }
  return KG(build_from_triples<std::uint64_t>(triples));
}

KG build_kg(FileContent content, IdWidth width) {
  const std::uint64_t lines = count_lines(content.text());
  if (width == IdWidth::kNarrowest && fits_narrow(lines)) {
    return KG(build_from_content<std::uint32_t>(content, lines));
  }
  return KG(build_from_content<std::uint64_t>(content, lines));
}

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
