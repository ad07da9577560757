// The knowledge graph: a directed multigraph with one edge per triple, nodes
// for the distinct head and tail labels in order of first occurrence, and the
// random walk over it.
//
// Storage is compact and contiguous: labels live back to back in arenas,
// relation labels are interned, and each direction's adjacency is one CSR
// array of (edge, neighbour) pairs in ascending edge order. Ids are 32-bit
// when the input is small enough for them, 64-bit otherwise.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "random.hpp"
#include "triple.hpp"

namespace vantrel {

// Labels stored back to back in one buffer and addressed by dense ids.
class LabelArena {
 public:
  LabelArena() { offsets_.push_back(0); }

  // Stores a copy of `text` and returns its id (the number of labels before it).
  std::uint64_t append(std::string_view text) {
    bytes_.append(text);
    offsets_.push_back(bytes_.size());
    ascii_.push_back(is_ascii(text) ? 1 : 0);
    return offsets_.size() - 2;
  }

  std::uint64_t size() const { return offsets_.size() - 1; }

  std::string_view operator[](std::uint64_t id) const {
    return std::string_view(bytes_).substr(offsets_[id], offsets_[id + 1] - offsets_[id]);
  }

  // True if the label holds ASCII bytes only.
  bool is_ascii_label(std::uint64_t id) const { return ascii_[id] != 0; }

  // Bytes of storage that the labels take.
  std::size_t memory_bytes() const {
    return bytes_.capacity() + offsets_.capacity() * sizeof(std::uint64_t) + ascii_.capacity();
  }

 private:
  std::string bytes_;
  std::vector<std::uint64_t> offsets_;
  std::vector<std::uint8_t> ascii_;
};

// The hash of a label's bytes used to intern it.
std::uint64_t hash_label(std::string_view text);

// Interns labels: the first occurrence of a text gets the next dense id,
// later occurrences find it again. Open addressing with stored hash tags.
template <class Id>
class LabelTable {
 public:
  LabelTable() : slots_(kInitialCapacity), mask_(kInitialCapacity - 1) {}

  // The id of `text`, appending it as a new label on its first occurrence.
  Id intern(std::string_view text);

  std::uint64_t size() const { return labels_.size(); }

  // Gives up the lookup structure and keeps the labels.
  LabelArena release() && { return std::move(labels_); }

 private:
  static constexpr std::size_t kInitialCapacity = 16;
  static constexpr Id kEmpty = static_cast<Id>(-1);
  struct Slot {
    Id tag = 0;
    Id id = kEmpty;
  };
  void grow();

  std::vector<Slot> slots_;
  std::size_t mask_;
  LabelArena labels_;
};

// How a string of a walk ends: a node label has no suffix, an edge string
// says whether the edge was followed forward or backward.
enum class Suffix : std::uint8_t { kNone, kForward, kBackward };

// One string of a walk, as a view into the graph's labels.
struct PathPiece {
  std::string_view label;
  Suffix suffix;
  bool ascii;
};

// A graph with ids of type Id (std::uint32_t or std::uint64_t).
template <class Id>
class BasicGraph {
 public:
  // An edge seen from one of its ends: the edge and the node at its other end.
  struct Adjacent {
    Id edge;
    Id node;
  };

  std::uint64_t node_count() const { return node_labels_.size(); }
  std::uint64_t edge_count() const { return relation_.size(); }
  std::string_view node_label(std::uint64_t node) const { return node_labels_[node]; }
  std::string_view edge_label(std::uint64_t edge) const { return relation_labels_[relation_[edge]]; }
  std::uint64_t relation_count() const { return relation_labels_.size(); }

  // Edges that leave `node`, ascending, each with its tail node.
  std::span<const Adjacent> edges_fwd(std::uint64_t node) const {
    return {fwd_.data() + spans_[node].fwd, fwd_.data() + spans_[node + 1].fwd};
  }
  // Edges that reach `node`, ascending, each with its head node.
  std::span<const Adjacent> edges_rev(std::uint64_t node) const {
    return {rev_.data() + spans_[node].rev, rev_.data() + spans_[node + 1].rev};
  }

  // Draws a walk of `path_len` steps into `out` (cleared first): the start
  // label, one edge string per step, the end label. The start node is drawn
  // below the node count (EmptyRangeError on an empty graph), then each step
  // draws below its candidate count: the node's forward then backward
  // entries, less the first entry of the edge just used unless it is the
  // only one.
  void walk(std::uint64_t path_len, StdRng& rng, std::vector<PathPiece>& out) const;

  // Bytes of storage that the graph takes.
  std::size_t memory_bytes() const;

 private:
  template <class>
  friend class GraphBuilder;

  struct NodeSpan {
    Id fwd;
    Id rev;
  };
  PathPiece node_piece(Id node) const {
    return {node_labels_[node], Suffix::kNone, node_labels_.is_ascii_label(node)};
  }

  std::vector<NodeSpan> spans_;  // node_count + 1 starts into fwd_ and rev_
  std::vector<Adjacent> fwd_;
  std::vector<Adjacent> rev_;
  std::vector<Id> relation_;  // relation label id of each edge
  LabelArena node_labels_;
  LabelArena relation_labels_;
};

// Builds a BasicGraph from triples given one at a time, in input order.
template <class Id>
class GraphBuilder {
 public:
  explicit GraphBuilder(std::uint64_t expected_edges);
  void add(std::string_view head, std::string_view relation, std::string_view tail);
  BasicGraph<Id> finish() &&;

 private:
  LabelTable<Id> nodes_;
  LabelTable<Id> relations_;
  std::vector<Id> src_;
  std::vector<Id> dst_;
  std::vector<Id> relation_;
};

// Which id width to build with: the narrowest that fits, or always 64 bits.
enum class IdWidth { kNarrowest, k64 };

// The graph of a sampler, with the id width chosen at build time.
class KG {
 public:
  using Narrow = BasicGraph<std::uint32_t>;
  using Wide = BasicGraph<std::uint64_t>;

  KG() : graph_(Narrow{}) {}
  explicit KG(Narrow graph) : graph_(std::move(graph)) {}
  explicit KG(Wide graph) : graph_(std::move(graph)) {}

  template <class Visit>
  decltype(auto) visit(Visit&& visit) const {
    return std::visit(std::forward<Visit>(visit), graph_);
  }

  std::uint64_t node_count() const {
    return visit([](const auto& g) { return g.node_count(); });
  }
  std::uint64_t edge_count() const {
    return visit([](const auto& g) { return g.edge_count(); });
  }
  bool is_wide() const { return std::holds_alternative<Wide>(graph_); }

  void walk(std::uint64_t path_len, StdRng& rng, std::vector<PathPiece>& out) const {
    visit([&](const auto& g) { g.walk(path_len, rng, out); });
  }

  // A walk as owned strings, each edge label followed by `redge_suffix` when
  // followed forward and by `ledge_suffix` when followed backward.
  std::vector<std::string> sample_path(std::uint64_t path_len, StdRng& rng,
                                       std::string_view redge_suffix,
                                       std::string_view ledge_suffix) const;

 private:
  std::variant<Narrow, Wide> graph_;
};

// The graph of `triples`, consumed: one edge per triple in order, nodes in
// order of first occurrence (head before tail).
KG from_triples(std::vector<Triple> triples, IdWidth width = IdWidth::kNarrowest);

// The graph of the triple lines of `content` (column order HRT), parsed and
// built in one pass; `content` is released once parsed. Throws ShortLineError.
KG build_kg(FileContent content, IdWidth width = IdWidth::kNarrowest);

// ---------------------------------------------------------------------------

template <class Id>
Id LabelTable<Id>::intern(std::string_view text) {
  const std::uint64_t hash = hash_label(text);
  const Id tag = static_cast<Id>(hash);
  for (std::size_t index = hash & mask_;; index = (index + 1) & mask_) {
    Slot& slot = slots_[index];
    if (slot.id == kEmpty) {
      const Id id = static_cast<Id>(labels_.append(text));
      slot.tag = tag;
      slot.id = id;
      if (labels_.size() * 2 > slots_.size()) grow();
      return id;
    }
    if (slot.tag == tag && labels_[slot.id] == text) return slot.id;
  }
}

template <class Id>
void LabelTable<Id>::grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.size() * 2, Slot{});
  mask_ = slots_.size() - 1;
  // The tag holds the hash's low bits; past what it holds, rehash the label.
  const bool tag_covers_mask = mask_ <= static_cast<std::size_t>(static_cast<Id>(-1));
  for (const Slot& slot : old) {
    if (slot.id == kEmpty) continue;
    std::size_t index = tag_covers_mask ? (slot.tag & mask_) : (hash_label(labels_[slot.id]) & mask_);
    while (slots_[index].id != kEmpty) index = (index + 1) & mask_;
    slots_[index] = slot;
  }
}

template <class Id>
void BasicGraph<Id>::walk(std::uint64_t path_len, StdRng& rng, std::vector<PathPiece>& out) const {
  out.clear();
  Id node = static_cast<Id>(rng.gen_range(0, node_count()));
  out.reserve(path_len + 2);
  out.push_back(node_piece(node));
  bool has_prev = false;
  bool prev_in_fwd = false;  // whether the previous edge's first entry here is a forward one
  Id prev_edge = 0;
  for (std::uint64_t step = 0; step < path_len; ++step) {
    const NodeSpan begin = spans_[node];
    const NodeSpan end = spans_[node + 1];
    const std::uint64_t fwd_count = end.fwd - begin.fwd;
    const std::uint64_t candidates = fwd_count + (end.rev - begin.rev);
    std::uint64_t choice;
    if (has_prev && candidates >= 2) {
      // Leave out the previous edge's first entry: draw below the reduced
      // count and step over the removed position.
      const auto by_edge = [](const Adjacent& a, Id edge) { return a.edge < edge; };
      std::uint64_t removed;
      if (prev_in_fwd) {
        removed = std::lower_bound(fwd_.data() + begin.fwd, fwd_.data() + end.fwd, prev_edge, by_edge) -
                  (fwd_.data() + begin.fwd);
      } else {
        removed = fwd_count + (std::lower_bound(rev_.data() + begin.rev, rev_.data() + end.rev, prev_edge, by_edge) -
                               (rev_.data() + begin.rev));
      }
      choice = rng.gen_range(0, candidates - 1);
      if (choice >= removed) ++choice;
    } else {
      choice = rng.gen_range(0, candidates);
    }
    const bool forward = choice < fwd_count;
    const Adjacent& next = forward ? fwd_[begin.fwd + choice] : rev_[begin.rev + (choice - fwd_count)];
    const Id relation = relation_[next.edge];
    out.push_back({relation_labels_[relation], forward ? Suffix::kForward : Suffix::kBackward,
                   relation_labels_.is_ascii_label(relation)});
    // Arriving backward (or over a self-loop) the edge stands first among the
    // new node's forward entries, otherwise among its backward ones.
    prev_in_fwd = !forward || next.node == node;
    prev_edge = next.edge;
    has_prev = true;
    node = next.node;
  }
  out.push_back(node_piece(node));
}

template <class Id>
std::size_t BasicGraph<Id>::memory_bytes() const {
  return spans_.capacity() * sizeof(NodeSpan) + (fwd_.capacity() + rev_.capacity()) * sizeof(Adjacent) +
         relation_.capacity() * sizeof(Id) + node_labels_.memory_bytes() + relation_labels_.memory_bytes();
}

template <class Id>
GraphBuilder<Id>::GraphBuilder(std::uint64_t expected_edges) {
  src_.reserve(expected_edges);
  dst_.reserve(expected_edges);
  relation_.reserve(expected_edges);
}

template <class Id>
void GraphBuilder<Id>::add(std::string_view head, std::string_view relation, std::string_view tail) {
  src_.push_back(nodes_.intern(head));
  dst_.push_back(nodes_.intern(tail));
  relation_.push_back(relations_.intern(relation));
}

template <class Id>
BasicGraph<Id> GraphBuilder<Id>::finish() && {
  BasicGraph<Id> graph;
  const std::uint64_t node_count = nodes_.size();
  const std::uint64_t edge_count = src_.size();
  graph.node_labels_ = std::move(nodes_).release();
  graph.relation_labels_ = std::move(relations_).release();

  // Counting sort by node; edges go in in id order, so each list ascends.
  graph.spans_.assign(node_count + 1, typename BasicGraph<Id>::NodeSpan{0, 0});
  for (std::uint64_t e = 0; e < edge_count; ++e) {
    ++graph.spans_[src_[e] + 1].fwd;
    ++graph.spans_[dst_[e] + 1].rev;
  }
  for (std::uint64_t n = 0; n < node_count; ++n) {
    graph.spans_[n + 1].fwd += graph.spans_[n].fwd;
    graph.spans_[n + 1].rev += graph.spans_[n].rev;
  }
  graph.fwd_.resize(edge_count);
  graph.rev_.resize(edge_count);
  {
    std::vector<typename BasicGraph<Id>::NodeSpan> fill(graph.spans_.begin(), graph.spans_.end() - 1);
    for (std::uint64_t e = 0; e < edge_count; ++e) {
      const Id src = src_[e];
      const Id dst = dst_[e];
      graph.fwd_[fill[src].fwd++] = {static_cast<Id>(e), dst};
      graph.rev_[fill[dst].rev++] = {static_cast<Id>(e), src};
    }
  }
  std::vector<Id>().swap(src_);
  std::vector<Id>().swap(dst_);
  graph.relation_ = std::move(relation_);
  return graph;
}

}  // namespace vantrel
