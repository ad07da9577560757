// Building the graph from triples given in input order: interning labels
// (node and relation ids by first occurrence), counting each node's edges,
// and laying out the blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/interrupt.hpp"
#include "graph/edge_buckets.hpp"
#include "graph/graph.hpp"
#include "graph/labels.hpp"
#include "graph/triple.hpp"

namespace vantrel {

// One triple's labels with their hash_label() values, computed beforehand
// (by the thread that parsed them).
struct HashedTriple {
  std::string_view head;
  std::string_view relation;
  std::string_view tail;
  std::uint64_t head_hash;
  std::uint64_t relation_hash;
  std::uint64_t tail_hash;
};

// Builds a graph from triples given one at a time, in input order. Id is
// the width of the ids it keeps while it collects (enough for every node,
// relation and edge that may come); the graph's own width is chosen at
// finish(). What it keeps per edge is one EdgeRecord, grouped by source so
// that finish() can lay out the blocks range by range and free the records
// as it goes: the records and the finished graph are never held whole at once.
template <class Id>
class GraphBuilder {
 public:
  // `expected_edges`: how many triples are likely to come (0: unknown);
  // `buckets`: how the edges are grouped by source while they are collected.
  explicit GraphBuilder(std::uint64_t expected_edges = 0, BucketLimits buckets = {});
  // The texts passed to add() must stay valid until flush().
  void add(const HashedTriple& triple) {
    pending_[pending_count_++] = triple;
    if (pending_count_ == kBatch) flush();
  }
  void add(std::string_view head, std::string_view relation, std::string_view tail) {
    add({head, relation, tail, hash_label(head), hash_label(relation), hash_label(tail)});
  }
  // Interns and places the triples still pending; after it the texts given
  // so far may be released.
  void flush();
  // The number of triples given so far.
  std::uint64_t edge_count() const { return interned_ + pending_count_; }
  // The nodes and relations of the triples given up to the last flush().
  std::uint64_t node_count() const { return nodes_.size(); }
  std::uint64_t relation_count() const { return relations_.size(); }

  // add() in two steps, for a run of triples at a time: intern() gives
  // their ids, three per triple (head, relation, tail), and place() counts
  // and collects their edges. The two touch separate parts of the builder,
  // so that two threads may run them at once, each in input order: intern()
  // on one run while place() takes the run before. Not mixed with add().
  void intern(std::span<const HashedTriple> triples, std::uint64_t* ids);
  void place(std::span<const std::uint64_t> ids);

  // The graph, with OutId ids, which must address every cell. Lays the
  // blocks out on up to `threads` threads; `poll` as run_tasks takes it.
  template <class OutId>
  BasicGraph<OutId> finish(unsigned threads, const InterruptPoll& poll = {}) &&;

  // The same builder with 64-bit ids, for triples that outgrow 32-bit ones
  // (a source of unknown size): the labels keep their ids, the edges their order.
  GraphBuilder<std::uint64_t> widen() &&;

 private:
  template <class>
  friend class GraphBuilder;

  // Triples are interned in batches so that the cache misses of their
  // lookups overlap; ids are still given in input order.
  static constexpr std::size_t kBatch = 32;
  struct Counts {
    Id forward;
    Id backward;
  };

  HashedTriple pending_[kBatch];
  std::size_t pending_count_ = 0;
  std::uint64_t interned_ = 0;  // triples interned
  std::uint64_t edges_ = 0;     // triples placed
  LabelTable<Id> nodes_;
  LabelTable<Id> relations_;
  std::vector<Counts> counts_;  // per node: its edges so far in each direction
  EdgeBuckets<Id> edges_by_source_;
  // The head of every triple placed, in input order, in pieces of
  // kHeadsPerPiece, so that growing never copies what was collected.
  static constexpr std::size_t kHeadsPerPiece = std::size_t{1} << 18;
  std::vector<std::vector<Id>> heads_;
};

extern template class GraphBuilder<std::uint32_t>;
extern template class GraphBuilder<std::uint64_t>;

// Which id width to build with: the narrowest that fits, or always 64 bits.
enum class IdWidth { kNarrowest, k64 };

// Whether a builder may collect `edges` triples with 32-bit ids, whatever
// they hold: even if each brings two new nodes and a new relation, the
// graph fits 32-bit ids.
constexpr bool collects_narrow(std::uint64_t edges) { return edges <= UINT32_MAX && fits_32_bit_ids(4 * edges, edges); }
// The most triples collected with 32-bit ids.
inline constexpr std::uint64_t kMostNarrowTriples = (UINT32_MAX - 1) / 4;
static_assert(collects_narrow(kMostNarrowTriples) && !collects_narrow(kMostNarrowTriples + 1));

// The finished graph of `builder`: 32-bit ids where `width` allows and the
// graph's nodes, edges and relations fit them.
template <class Id>
AnyGraph finish_graph(GraphBuilder<Id>&& builder, IdWidth width, unsigned threads, const InterruptPoll& poll = {});

// The graph of `triples`, consumed: one edge per triple in order, nodes in
// order of first occurrence (head before tail).
AnyGraph from_triples(std::vector<Triple> triples, IdWidth width = IdWidth::kNarrowest);

}  // namespace vantrel
