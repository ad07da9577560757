// Building the graph from the triples of a file: interning labels in input
// order, counting each node's edges and laying out the blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "file_io.hpp"
#include "graph.hpp"
#include "interrupt.hpp"
#include "labels.hpp"
#include "triple.hpp"

namespace vantrel {

// Builds a BasicGraph from triples given one at a time, in input order.
// The texts passed to add() must stay valid until flush() or finish().
template <class Id>
class GraphBuilder {
 public:
  // `poll` is called about every 2^20 triples and 2^22 edges placed.
  explicit GraphBuilder(std::uint64_t expected_edges, InterruptPoll poll = {});
  void add(std::string_view head, std::string_view relation, std::string_view tail) {
    pending_[pending_count_++] = {head, relation, tail, 0, 0};
    if (pending_count_ == kBatch) flush();
  }
  // Interns the triples still pending; after it the texts given so far may be released.
  void flush();
  BasicGraph<Id> finish() &&;

 private:
  // Triples are interned in batches so that the cache misses of their
  // lookups overlap; ids are still given in input order.
  static constexpr std::size_t kBatch = 32;
  struct Pending {
    std::string_view head;
    std::string_view relation;
    std::string_view tail;
    std::uint64_t head_hash;
    std::uint64_t tail_hash;
  };

  static constexpr std::uint64_t kBatchesPerPoll = (std::uint64_t{1} << 20) / kBatch;

  Pending pending_[kBatch];
  std::size_t pending_count_ = 0;
  std::uint64_t batches_ = 0;
  InterruptPoll poll_;
  LabelTable<Id> nodes_;
  LabelTable<Id> relations_;
  std::vector<Id> src_;
  std::vector<Id> dst_;
  std::vector<Id> relation_;
};

extern template class GraphBuilder<std::uint32_t>;
extern template class GraphBuilder<std::uint64_t>;

// Which id width to build with: the narrowest that fits, or always 64 bits.
enum class IdWidth { kNarrowest, k64 };

// The graph of `triples`, consumed: one edge per triple in order, nodes in
// order of first occurrence (head before tail).
KG from_triples(std::vector<Triple> triples, IdWidth width = IdWidth::kNarrowest);

// The graph of the triple lines of `content` (column order HRT), parsed and
// built in one pass; `content` is released once parsed. Throws ShortLineError.
KG build_kg(FileContent content, IdWidth width = IdWidth::kNarrowest, const InterruptPoll& poll = {});

}  // namespace vantrel
