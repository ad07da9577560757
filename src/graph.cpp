#include "graph.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace vantrel {

namespace {

constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;

inline std::uint64_t mix(std::uint64_t h) {
  h ^= h >> 32;
  h *= 0xD6E8FEB86659FD93ull;
  h ^= h >> 32;
  return h;
}

// Narrow ids must address every cell (a header per node, at most two nodes
// per triple, and two entries per triple) and leave the empty marker free.
bool fits_narrow(std::uint64_t triples) {
  return triples < (std::uint64_t{1} << 30) - 1;
}

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Below this, an array is not worth a mapping of its own.
constexpr std::size_t kHugePageThreshold = 2 * kHugePage;

std::size_t mapping_size(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

}  // namespace

void* allocate_huge_pages(std::size_t bytes) {
  if (bytes < kHugePageThreshold) {
    void* pointer = std::malloc(bytes == 0 ? 1 : bytes);
    if (!pointer) throw std::bad_alloc();
    return pointer;
  }
  // Over-map by one huge page so that the array can start on a huge-page boundary.
  const std::size_t size = mapping_size(bytes) + kHugePage;
  void* mapping = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(mapping);
  const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
  if (aligned > start) ::munmap(mapping, aligned - start);
  const std::size_t tail = start + size - (aligned + mapping_size(bytes));
  if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + mapping_size(bytes)), tail);
  // Only a hint: without huge pages the array works all the same.
  ::madvise(reinterpret_cast<void*>(aligned), mapping_size(bytes), MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

void release_huge_pages(void* pointer, std::size_t bytes) {
  if (bytes < kHugePageThreshold) {
    std::free(pointer);
  } else {
    ::munmap(pointer, mapping_size(bytes));
  }
}

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
BasicGraph<Id> build_from_content(FileContent& content, std::uint64_t lines, const InterruptPoll& poll) {
  const std::string_view text = content.text();
  GraphBuilder<Id> builder(lines, poll);
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

KG build_kg(FileContent content, IdWidth width, const InterruptPoll& poll) {
  const std::uint64_t lines = count_lines(content.text());
  if (width == IdWidth::kNarrowest && fits_narrow(lines)) {
    return KG(build_from_content<std::uint32_t>(content, lines, poll));
  }
  return KG(build_from_content<std::uint64_t>(content, lines, poll));
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
