// The plain graph: a directed multigraph with one edge per triple, nodes for
// the distinct head and tail labels in order of first occurrence, and the
// uniform random walk over it.
//
// Nodes with their edges are blocks in one array of cells (graph/layout.hpp).
// A header cell holds the node's forward count, backward count and id. An
// edge cell holds what a step needs: the block of the node at the edge's
// other end, the relation, and the edge's position among that node's entries
// of the opposite direction (its twin), so that the walk finds the edge it
// came over without a search. Each group of edge cells is in ascending edge
// order. A step thus reads the block it stands on and jumps to the next; for
// most nodes that is one cache line.
//
// Ids are 32-bit when the graph is small enough for them (fits_32_bit_ids),
// 64-bit otherwise.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/interrupt.hpp"
#include "core/memory.hpp"
#include "graph/labels.hpp"
#include "graph/layout.hpp"
#include "graph/walker.hpp"
#include "random/random.hpp"

namespace vantrel {

// How a string of a walk ends: a node label has no suffix, an edge string
// says whether the edge was followed forward or backward.
enum class Suffix : std::uint8_t { kNone, kForward, kBackward };

// What follows a relation's label in a token's text: "::-->" for an edge
// followed forward, "::<--" backward; nothing after a node's label.
constexpr std::string_view suffix_text(Suffix suffix) {
  return suffix == Suffix::kForward    ? std::string_view("::-->")
         : suffix == Suffix::kBackward ? std::string_view("::<--")
                                       : std::string_view();
}

// The text of a token, as a view into the graph's labels: a node's label, or
// a relation's label with the direction to append.
struct PathPiece {
  std::string_view label;
  Suffix suffix;
  bool ascii;

  // Appends the token's text to `out`: the label, then the suffix.
  void append_text(std::string& out) const {
    out.append(label);
    out.append(suffix_text(suffix));
  }
};

// Which of its edges a node's block lists: both directions (every graph
// built from triples), or one, for graphs restricted to walking forward
// (head to tail) or backward (tail to head).
enum class Direction : std::uint8_t { kBoth, kForward, kBackward };

// A graph with ids of type Id (std::uint32_t or std::uint64_t).
template <class Id>
class BasicGraph {
 public:
  using IdType = Id;
  using Position = WalkPosition<Id>;
  // The twin of an edge whose other copy the graph does not list (one direction only).
  static constexpr Id kNoTwin = static_cast<Id>(-1);

  BasicGraph() = default;
  // A graph of laid-out blocks: `block_of` maps node ids to the positions of
  // their header cells in `cells`.
  // A graph that `may_lack_edges` (a restriction, or one made from ids that
  // leave some node or relation without an edge) may have nodes and
  // relations without edges; with one direction, every twin is kNoTwin.
  // `heads`: the head of every triple, in input order, where the graph is
  // the graph as read and knows its order (empty otherwise); or
  // `head_runs`, where those came grouped by head (head_runs()).
  BasicGraph(ArrayRegion<Cell<Id>> cells, ArrayRegion<Id> block_of, LabelList node_labels, LabelList relation_labels,
             Direction direction = Direction::kBoth, bool may_lack_edges = false, ArrayRegion<Id> heads = {},
             ArrayRegion<Id> head_runs = {})
      : cells_(std::move(cells)),
        block_of_(std::move(block_of)),
        node_labels_(std::move(node_labels)),
        relation_labels_(std::move(relation_labels)),
        heads_(std::move(heads)),
        head_runs_(std::move(head_runs)),
        direction_(direction),
        may_lack_edges_(may_lack_edges) {}

  std::uint64_t node_count() const { return block_of_.size(); }
  // The entries of every block: one per edge and direction listed.
  std::uint64_t entry_count() const { return vantrel::entry_count(cells_.size(), block_of_.size()); }
  // The triples the graph can walk: each listed once per direction it keeps.
  std::uint64_t edge_count() const { return direction_ == Direction::kBoth ? entry_count() / 2 : entry_count(); }
  Direction direction() const { return direction_; }
  bool may_lack_edges() const { return may_lack_edges_; }
  std::uint64_t relation_count() const { return relation_labels_.size(); }
  // Tokens: node ids 0 to n - 1 first, then relation r followed forward
  // (n + 2r) and backward (n + 2r + 1).
  std::uint64_t token_count() const { return node_count() + 2 * relation_count(); }
  PathPiece token_text(std::uint64_t token) const {
    if (token < node_count()) return {node_labels_[token], Suffix::kNone, node_labels_.is_ascii_label(token)};
    const std::uint64_t relation = (token - node_count()) / 2;
    const bool backward = (token - node_count()) % 2 != 0;
    return {relation_labels_[relation], backward ? Suffix::kBackward : Suffix::kForward,
            relation_labels_.is_ascii_label(relation)};
  }
  std::string_view node_label(std::uint64_t node) const { return node_labels_[node]; }

  // The arrays themselves, for writing the graph to a snapshot.
  const ArrayRegion<Cell<Id>>& cells() const { return cells_; }
  const ArrayRegion<Id>& blocks() const { return block_of_; }
  // The head of every triple in input order; empty where head_runs() gives
  // the order, or where the order is not known (the triples are then
  // numbered by head node).
  const ArrayRegion<Id>& heads() const { return heads_; }
  // Where the triples came grouped by head (graph/head_runs): the heads in
  // the order their groups came. Empty otherwise.
  const ArrayRegion<Id>& head_runs() const { return head_runs_; }
  // Keeps the order of the triples as runs of heads in place of every
  // triple's head, where they came grouped by head and that takes at most
  // half the memory: for a graph just built.
  void group_heads(const InterruptPoll& poll);
  const LabelList& node_labels() const { return node_labels_; }
  const LabelList& relation_labels() const { return relation_labels_; }

  // Draws the start node of a walk, uniformly below the node count; throws
  // EmptyRangeError (drawing nothing) on an empty graph.
  std::uint64_t draw_start(StdRng& rng) const { return rng.gen_range(0, node_count()); }

  // The uniform walk, as a Walker (walk_from takes it whole): begin_at(start),
  // then step() per step, then end_node(). Each step draws below its
  // candidate count: the node's forward then backward entries, less the
  // first entry of the edge just used unless it is the only one. A node
  // without candidates (restricted graphs only) ends the walk early.
  WalkPosition<Id> begin_at(std::uint64_t start) const { return {block_of_[start], WalkPosition<Id>::kNoEntry}; }

  // Takes one step: draws among the candidates, moves `at`, and returns the
  // relation token of the edge taken; or, at a node without candidates,
  // returns kDeadEnd, drawing nothing and leaving `at` where it is.
  std::uint64_t step(WalkPosition<Id>& at, StdRng& rng) const { return advance<false>(at, rng); }

  // step(), or kNotYet at a node of more than kCandidatesInCache
  // candidates: the candidate drawn has its cell asked for, and the next
  // try_step() takes it, without drawing again.
  std::uint64_t try_step(WalkPosition<Id>& at, StdRng& rng) const { return advance<true>(at, rng); }

  // step(), also giving in `cell` the cell of the entry taken (where a
  // step was taken): for walks that list edges or turn around.
  [[gnu::always_inline]] std::uint64_t step_taking(WalkPosition<Id>& at, StdRng& rng, std::uint64_t& cell) const {
    return advance<false>(at, rng, &cell);
  }

  // Where a walk stands at node `start` when it arrived there over the edge
  // of `cell`, an entry of `start`'s: the uniform rule then leaves that
  // edge's first entry at `start` out (for a self-loop, its forward entry).
  WalkPosition<Id> turn_around(std::uint64_t start, std::uint64_t cell) const {
    const std::uint64_t block = block_of_[start];
    const std::uint64_t entry = cell - block - 1;
    const EdgeCell<Id>& edge = cells_[cell].edge;
    const bool forward = entry < cells_[block].header.forward_count;
    if (edge.block == block && !forward && edge.twin != kNoTwin) return {static_cast<Id>(block), edge.twin};
    return {static_cast<Id>(block), entry};
  }

  // Moves `at` over its node's candidate `choice` (forward entries first)
  // and returns the relation token of the step, recording the edge's first
  // entry at the new node as the one the next step leaves out.
  std::uint64_t follow(WalkPosition<Id>& at, std::uint64_t choice, std::uint64_t forward_count) const {
    const bool forward = choice < forward_count;
    const EdgeCell<Id>& edge = cells_[entry_cell(at.block, choice)].edge;
    // Arriving backward, the edge stands among the new node's forward
    // entries only. Arriving forward it stands among its backward entries,
    // after its forward ones, unless it is a self-loop: then its forward
    // entry, the one just chosen, comes first. A graph of one direction
    // lists one copy of each edge: the edge is not among the new node's
    // candidates, unless it is a self-loop, whose own entry is.
    if (edge.block == at.block) {
      at.removed = forward || edge.twin == kNoTwin ? choice : std::uint64_t{edge.twin};
    } else if (edge.twin == kNoTwin) {
      at.removed = WalkPosition<Id>::kNoEntry;
    } else if (!forward) {
      at.removed = edge.twin;
    } else {
      at.removed = WalkPosition<Id>::kAfterForward | edge.twin;
    }
    at.block = edge.block;
    // The next step reads the new block's header and then one of its edge
    // cells, often on the following cache line: ask for that line now, so
    // that the two misses overlap instead of following each other.
    __builtin_prefetch(reinterpret_cast<const char*>(&cells_[at.block]) + 64);
    return node_count() + 2 * std::uint64_t{edge.relation} + (forward ? 0 : 1);
  }

  // The 64-bit draws a step makes, on average: about 1.5, since the bounded
  // draw's conservative zone turns down up to half of its values (all but
  // none for a count just below a power of two, half of them at one). For
  // the first blocks of a walk's stream to compute ahead.
  static constexpr double draws_per_step() { return 1.5; }

  // A uniform step's work is the step itself: nothing beyond it to count.
  static constexpr std::uint64_t take_work(const WalkPosition<Id>&) { return 0; }

  // Starts loading where node `node`'s block is, which begin_at() reads.
  void prefetch_start(std::uint64_t node) const { __builtin_prefetch(&block_of_[node]); }

  // Starts loading the cells that the next step from `at` reads.
  void prefetch(const WalkPosition<Id>& at) const {
    __builtin_prefetch(&cells_[at.block]);
    __builtin_prefetch(reinterpret_cast<const char*>(&cells_[at.block]) + 64);
  }

  // The node a walk stands on.
  std::uint64_t end_node(const WalkPosition<Id>& at) const { return cells_[at.block].header.node; }

 private:
  // step() (kMayYield false) or try_step() (true); `taken`, if given,
  // receives the cell of the entry taken.
  template <bool kMayYield>
  std::uint64_t advance(WalkPosition<Id>& at, StdRng& rng, std::uint64_t* taken = nullptr) const {
    const HeaderCell<Id>& header = cells_[at.block].header;
    const std::uint64_t fwd_count = header.forward_count;
    const std::uint64_t candidates = fwd_count + header.backward_count;
    std::uint64_t choice;
    const bool resumed = kMayYield && at.chosen != WalkPosition<Id>::kNoEntry;
    if (resumed) {
      choice = at.chosen;
      at.chosen = WalkPosition<Id>::kNoEntry;
    } else if (candidates == 0) [[unlikely]] {
      return kDeadEnd;
    } else if (at.removed != WalkPosition<Id>::kNoEntry && candidates >= 2) {
      const std::uint64_t removed = at.removed_entry(fwd_count);
      // Leave the previous edge out: draw below the reduced count and step
      // over the removed position.
      choice = rng.gen_range(0, candidates - 1);
      if (choice >= removed) ++choice;
    } else {
      choice = rng.gen_range(0, candidates);
    }
    if constexpr (kMayYield) {
      if (!resumed && candidates > kCandidatesInCache) {
        at.chosen = choice;
        __builtin_prefetch(&cells_[entry_cell(at.block, choice)]);
        return kNotYet;
      }
    }
    if (taken) *taken = entry_cell(at.block, choice);
    return follow(at, choice, fwd_count);
  }

  ArrayRegion<Cell<Id>> cells_;
  ArrayRegion<Id> block_of_;  // node id -> position of its header cell
  LabelList node_labels_;
  LabelList relation_labels_;
  ArrayRegion<Id> heads_;      // triple (in input order) -> its head node
  ArrayRegion<Id> head_runs_;  // or: the heads of the triples' groups, in input order
  Direction direction_ = Direction::kBoth;
  bool may_lack_edges_ = false;
};

static_assert(Walker<BasicGraph<std::uint32_t>> && Walker<BasicGraph<std::uint64_t>>);

// What the walkers over a BasicGraph by another rule (biased, metapath)
// share: its node count, its start draw, the node a walk stands on and the
// prefetch of its block (cells read straight, as the uniform step reads them).
template <class Id>
class WalkerOver {
 public:
  using IdType = Id;

  explicit WalkerOver(const BasicGraph<Id>& graph) : graph_(graph), cells_(graph.cells().data()) {}

  std::uint64_t node_count() const { return graph_.node_count(); }
  std::uint64_t draw_start(StdRng& rng) const { return graph_.draw_start(rng); }
  template <class Position>
  std::uint64_t end_node(const Position& at) const {
    return cells_[at.block].header.node;
  }
  void prefetch_start(std::uint64_t node) const { graph_.prefetch_start(node); }

  // For a walker whose Position extends the uniform one: a new walk at
  // `start`, and a walk at `start` come over the entry at `cell` the other
  // way, as the uniform walk stands there, the rest of its position new.
  template <class Position>
  Position uniform_begin_at(std::uint64_t start) const {
    Position at;
    static_cast<WalkPosition<Id>&>(at) = graph_.begin_at(start);
    return at;
  }
  template <class Position>
  Position uniform_turn_around(std::uint64_t start, std::uint64_t cell) const {
    Position at;
    static_cast<WalkPosition<Id>&>(at) = graph_.turn_around(start, cell);
    return at;
  }

  template <class Position>
  void prefetch(const Position& at) const {
    __builtin_prefetch(&cells_[at.block]);
    __builtin_prefetch(reinterpret_cast<const char*>(&cells_[at.block]) + 64);
  }

 protected:
  const BasicGraph<Id>& graph_;
  const Cell<Id>* cells_;
};

extern template class BasicGraph<std::uint32_t>;
extern template class BasicGraph<std::uint64_t>;

// A plain graph of either id width, as the builders make it: 32-bit ids
// where they fit (fits_32_bit_ids), 64-bit otherwise.
using AnyGraph = std::variant<BasicGraph<std::uint32_t>, BasicGraph<std::uint64_t>>;

}  // namespace vantrel
