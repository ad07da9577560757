// The biased step: weights on edges, relations and nodes, and node2vec's
// return and in-out parameters p and q, over a graph's blocks as they are.
//
// At node u, having come from node t, a step's candidates are all of u's
// entries (none left out, not even the edge just used). A candidate edge e
// to node x weighs w = E[e] * R[relation of e] * N[x]; a proposal is drawn
// in proportion to w (by the running sums of w over the candidates), and,
// where (p, q) is not (1, 1) and t exists, accepted with probability
// a(x) / a_max: a(x) is 1/p when x is t, 1 when x is a far node of one of
// t's candidates, 1/q otherwise. After kMostProposals proposals turned down,
// the step is drawn exactly instead, in proportion to w * a(x) over every
// candidate, so that no step's work is unbounded. docs/walks.md gives every
// draw.
//
// What a biased graph keeps, beside the graph, per entry cell (entries
// numbered across the graph, graph/layout.hpp):
// - w, in float64, when weights were given (8 bytes an entry), and every
//   kCheckpointEntries entries the running sum of the node that holds that
//   entry, so that a running sum is found with a search and a short scan
//   (graph/weighted_pick);
// - for node2vec, each node's far blocks, in the node's own entries, as
//   graph/far_blocks lays them out (4 bytes an entry at 32-bit ids), and
//   one bit per node: whether all its candidates of positive weight lead to
//   one node.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <variant>

#include "core/interrupt.hpp"
#include "core/memory.hpp"
#include "graph/far_blocks.hpp"
#include "graph/graph.hpp"
#include "graph/weighted_pick.hpp"
#include "random/random.hpp"

namespace vantrel {

// The proposals a step draws by node2vec's acceptance test at most: when the
// last is turned down too, the step is drawn exactly.
inline constexpr std::uint32_t kMostProposals = 1024;

// The arrays of a biased graph with ids of type Id.
template <class Id>
struct BiasArrays {
  static constexpr Id kNoBlock = static_cast<Id>(-1);

  bool weighted = false;      // whether w is kept (some weight was given)
  bool second_order = false;  // whether (p, q) is not (1, 1)
  double p = 1.0;
  double q = 1.0;
  double inverse_p = 1.0;           // 1 / p
  double inverse_q = 1.0;           // 1 / q
  double most_acceptance = 1.0;     // max(1/p, 1, 1/q)
  double least_onward = 1.0;        // min(1, 1/q)
  double most_onward = 1.0;         // max(1, 1/q)
  ArrayRegion<double> weights;      // w of every entry
  ArrayRegion<double> checkpoints;  // entry j * kCheckpointEntries: the running sum of its node before it
  ArrayRegion<Id> far_blocks;       // node2vec: each node's distinct far blocks, padded (graph/far_blocks)
  ArrayRegion<std::uint64_t>
      single_target;  // node2vec: bit u set when u's candidates of positive weight lead to one node
};

// The bias of a graph, of the graph's id width.
class Bias {
 public:
  explicit Bias(BiasArrays<std::uint32_t> arrays) : arrays_(std::move(arrays)) {}
  explicit Bias(BiasArrays<std::uint64_t> arrays) : arrays_(std::move(arrays)) {}

  template <class Id>
  const BiasArrays<Id>& arrays() const {
    return std::get<BiasArrays<Id>>(arrays_);
  }
  bool weighted() const {
    return std::visit([](const auto& a) { return a.weighted; }, arrays_);
  }
  double p() const {
    return std::visit([](const auto& a) { return a.p; }, arrays_);
  }
  double q() const {
    return std::visit([](const auto& a) { return a.q; }, arrays_);
  }
  // The per-entry weights (empty when unweighted), for a snapshot.
  const ArrayRegion<double>& weights() const {
    return std::visit([](const auto& a) -> const ArrayRegion<double>& { return a.weights; }, arrays_);
  }

 private:
  std::variant<BiasArrays<std::uint32_t>, BiasArrays<std::uint64_t>> arrays_;
};

// Where a biased walk stands: the block of its node and, once it has
// stepped, the block of the node it came from.
template <class Id>
struct BiasedPosition {
  static constexpr Id kNoProposal = static_cast<Id>(-1);
  Id block;
  Id previous;
  bool moved;
  // A step that try_step() left not over: the proposal to go on with, and
  // the candidates' total weight.
  Id proposal = kNoProposal;
  double total = 0.0;
  // The proposals of the step under way turned down so far.
  std::uint32_t rejected = 0;
  // node2vec's test of the proposal to go on with, where it was left not
  // over: its draw, and the slot (from 1) of t's far blocks that its search
  // reads next; 0 where no search is under way.
  double acceptance_draw = 0.0;
  std::uint64_t search = 0;
  // Work done since the walker last took it (proposals tested, candidates
  // scanned), so that interrupts are polled by work rather than by steps.
  std::uint64_t work = 0;
};

// A graph walked with a bias: the interface of BasicGraph's walk (begin_at,
// step, prefetch, end_node), with the biased step.
template <class Id>
class BiasedGraph : public WalkerOver<Id> {
 public:
  using Position = BiasedPosition<Id>;

  BiasedGraph(const BasicGraph<Id>& graph, const BiasArrays<Id>& bias) : WalkerOver<Id>(graph), bias_(bias) {}

  // The 64-bit draws a step makes, on a guess: a proposal's, and for
  // node2vec an acceptance test's, times the proposals, between 1 and
  // a_max / a_min; a block computed too many costs less than one too few.
  double draws_per_step() const {
    if (!bias_.second_order) return 1.0;
    const double least = std::min({bias_.inverse_p, 1.0, bias_.inverse_q});
    // No more proposals than a step draws at most, whatever p and q (their
    // ratio may overflow).
    const double proposals = bias_.most_acceptance / least;
    constexpr double kMost = kMostProposals;
    return 1.0 + (proposals < kMost ? proposals : kMost);
  }
  // The work done since it was last taken, at `at` (see BiasedPosition::work).
  static std::uint64_t take_work(Position& at) { return std::exchange(at.work, 0); }
  Position begin_at(std::uint64_t start) const { return {graph_.blocks()[start], 0, false}; }

  // Takes one step: returns the relation token of the edge taken, or
  // kDeadEnd (drawing nothing, leaving `at` where it is) at a node without
  // candidates of positive weight.
  std::uint64_t step(Position& at, StdRng& rng) const {
    for (;;) {
      const std::uint64_t token = try_step(at, rng);
      if (token != kNotYet) return token;
    }
  }

  // step(), or kNotYet where the step waits for memory: at a node of more
  // than kCandidatesInCache candidates, where a proposal was drawn (the
  // first, or one after one turned down) and its cell asked for; or where
  // node2vec's test of a proposal searches the far blocks of a t of that
  // many candidates, past the levels that stay in cache. The draws are
  // step()'s, in its order.
  // `taken`, if given, receives the cell of the entry taken.
  [[gnu::always_inline]] std::uint64_t try_step(Position& at, StdRng& rng, std::uint64_t* taken = nullptr) const;

  // step(), also giving in `cell` the cell of the entry taken (where a
  // step was taken).
  std::uint64_t step_taking(Position& at, StdRng& rng, std::uint64_t& cell) const {
    for (;;) {
      const std::uint64_t token = try_step(at, rng, &cell);
      if (token != kNotYet) return token;
    }
  }

  // Where a walk stands at node `start` when it arrived there over the edge
  // of `cell`, an entry of `start`'s: come from the node at its other end,
  // t of node2vec's next step.
  Position turn_around(std::uint64_t start, std::uint64_t cell) const {
    return {graph_.blocks()[start], cells_[cell].edge.block, true};
  }

 private:
  // Whether `far_block` is the far block of one of the candidates of the
  // node whose block is `block`.
  bool leads_from(std::uint64_t block, std::uint64_t far_block) const;

  // A proposal among the `degree` candidates from entry `first`: in
  // proportion to their weights (of sum `total`), or uniform.
  std::uint64_t propose(std::uint64_t first, std::uint64_t degree, double total, StdRng& rng) const {
    return bias_.weighted
               ? pick_weighted(bias_.weights.data(), bias_.checkpoints.data(), first, degree, rng.next_unit() * total)
               : rng.gen_range(0, degree);
  }

  // What node2vec's test says of a proposal: taken, turned down, or not
  // yet, where the search of t's far blocks waits for memory.
  enum class Verdict : std::uint8_t { kAccepted, kRejected, kPending };

  // node2vec's test of the proposal of an edge to `far_block`, from the
  // node `node` of a walk at `at` that has moved: its draw, and where the
  // draw leaves it to the search, the search; or the test left pending at
  // `at`, gone on with.
  Verdict test(Position& at, std::uint64_t node, std::uint64_t far_block, StdRng& rng) const;

  // Goes on with the search of the test pending at `at`, down t's tree of
  // far blocks (search_far_block_tree), and decides the test where it is over.
  [[gnu::noinline]] Verdict go_on_searching(Position& at, std::uint64_t far_block) const;

  // node2vec's a(x) of an edge to `far_block` for a walk at `at` that has
  // moved: 1/p back to t, 1 to a far node of t, 1/q elsewhere.
  double acceptance(const Position& at, std::uint64_t far_block) const {
    if (far_block == at.previous) return bias_.inverse_p;
    return leads_from(at.previous, far_block) ? 1.0 : bias_.inverse_q;
  }

  // The exact draw of a step whose proposals were all turned down: among
  // the `degree` candidates from entry `first` of the block at `at`, in
  // proportion to w * a(x).
  [[gnu::noinline]] std::uint64_t draw_exactly(const Position& at, std::uint64_t first, std::uint64_t degree,
                                               StdRng& rng) const;

  using WalkerOver<Id>::graph_;
  using WalkerOver<Id>::cells_;
  const BiasArrays<Id>& bias_;
};

static_assert(Walker<BiasedGraph<std::uint32_t>> && Walker<BiasedGraph<std::uint64_t>>);

// ---------------------------------------------------------------------------
// The step is the inner loop of biased walks: its bodies stay in the header
// so that they inline into the walkers.

template <class Id>
bool BiasedGraph<Id>::leads_from(std::uint64_t block, std::uint64_t far_block) const {
  const HeaderCell<Id>& header = cells_[block].header;
  return in_far_blocks(bias_.far_blocks.data() + first_entry(block, header.node), degree(header), far_block);
}

template <class Id>
inline typename BiasedGraph<Id>::Verdict BiasedGraph<Id>::test(Position& at, std::uint64_t node,
                                                               std::uint64_t far_block, StdRng& rng) const {
  if (at.search != 0) return go_on_searching(at, far_block);
  auto verdict = [](bool accepted) { return accepted ? Verdict::kAccepted : Verdict::kRejected; };
  if (far_block == at.previous) {
    // Back to t. Where every candidate of positive weight leads there,
    // the proposal is taken without a draw.
    const bool single = (bias_.single_target[node / 64] >> (node % 64)) & 1;
    return verdict(single || rng.next_unit() * bias_.most_acceptance < bias_.inverse_p);
  }
  // a(x) is 1 or 1/q: a draw below both accepts, one at or above both
  // rejects, and only one between them asks whether x is a far node of t,
  // the search of the step.
  const double y = rng.next_unit() * bias_.most_acceptance;
  if (y < bias_.least_onward) return Verdict::kAccepted;
  if (!(y < bias_.most_onward)) return Verdict::kRejected;
  // Most nodes' far blocks take a few cache lines: searched at once. A
  // hub's may wait for memory, on the walk's next turns.
  if (!far_blocks_are_a_tree(degree(cells_[at.previous].header))) return verdict(y < acceptance(at, far_block));
  at.acceptance_draw = y;
  at.search = 1;
  return go_on_searching(at, far_block);
}

template <class Id>
typename BiasedGraph<Id>::Verdict BiasedGraph<Id>::go_on_searching(Position& at, std::uint64_t far_block) const {
  const HeaderCell<Id>& header = cells_[at.previous].header;
  const Id* tree = bias_.far_blocks.data() + first_entry(at.previous, header.node);
  const Found found = search_far_block_tree(tree, degree(header), far_block, at.search, true);
  if (found == Found::kNotYet) return Verdict::kPending;
  at.search = 0;
  return at.acceptance_draw < (found == Found::kYes ? 1.0 : bias_.inverse_q) ? Verdict::kAccepted : Verdict::kRejected;
}

template <class Id>
inline std::uint64_t BiasedGraph<Id>::try_step(Position& at, StdRng& rng, std::uint64_t* taken) const {
  const HeaderCell<Id>& header = cells_[at.block].header;
  const std::uint64_t forward_count = header.forward_count;
  const std::uint64_t candidates = degree(header);
  const std::uint64_t node = header.node;
  const std::uint64_t first = first_entry(at.block, node);
  const bool large = candidates > kCandidatesInCache;
  double total = 0.0;
  // Leaves the step not over, with `choice` to go on with.
  auto not_yet = [&](std::uint64_t choice) {
    at.proposal = static_cast<Id>(choice);
    at.total = total;
    __builtin_prefetch(&cells_[entry_cell(at.block, choice)]);
    return kNotYet;
  };
  std::uint64_t choice = at.proposal;
  if (choice == Position::kNoProposal) [[likely]] {
    if (candidates == 0) [[unlikely]]
      return kDeadEnd;
    if (bias_.weighted) {
      total = total_weight(bias_.weights.data(), bias_.checkpoints.data(), first, candidates);
      if (!(total > 0.0)) [[unlikely]]
        return kDeadEnd;
    }
    choice = propose(first, candidates, total, rng);
    if (large) [[unlikely]]
      return not_yet(choice);
  } else {
    at.proposal = Position::kNoProposal;
    total = at.total;
  }
  const bool accepting = bias_.second_order && at.moved;
  for (;;) {
    const EdgeCell<Id>* edge = &cells_[entry_cell(at.block, choice)].edge;
    const Verdict verdict = accepting ? test(at, node, edge->block, rng) : Verdict::kAccepted;
    if (verdict == Verdict::kPending) {
      // t's far blocks are on their way: the proposal is gone on with on the next turn.
      at.proposal = static_cast<Id>(choice);
      at.total = total;
      return kNotYet;
    }
    if (verdict == Verdict::kRejected) {
      ++at.work;
      if (++at.rejected < kMostProposals) [[likely]] {
        choice = propose(first, candidates, total, rng);
        if (large) [[unlikely]]
          return not_yet(choice);
        continue;
      }
      choice = draw_exactly(at, first, candidates, rng);
      at.work += candidates;
      edge = &cells_[entry_cell(at.block, choice)].edge;
    }
    at.rejected = 0;
    if (taken) *taken = entry_cell(at.block, choice);
    at.previous = at.block;
    at.block = edge->block;
    at.moved = true;
    __builtin_prefetch(reinterpret_cast<const char*>(&cells_[at.block]) + 64);
    // The next step may search this node's far blocks: the middle of a
    // sorted list, or the root of a hub's tree.
    if (bias_.second_order) {
      __builtin_prefetch(bias_.far_blocks.data() + first + first_far_block_read(candidates));
    }
    return this->node_count() + 2 * std::uint64_t{edge->relation} + (choice < forward_count ? 0 : 1);
  }
}

template <class Id>
std::uint64_t BiasedGraph<Id>::draw_exactly(const Position& at, std::uint64_t first, std::uint64_t degree,
                                            StdRng& rng) const {
  const double* w = bias_.weighted ? bias_.weights.data() + first : nullptr;
  // v_k = w_k * a(x_k), computed alike in both passes, so that nothing is
  // kept for a hub's candidates.
  auto value = [&](std::uint64_t k) {
    return (w ? w[k] : 1.0) * acceptance(at, cells_[entry_cell(at.block, k)].edge.block);
  };
  double sum = 0.0;
  for (std::uint64_t k = 0; k < degree; ++k) sum = sum + value(k);
  const double z = rng.next_unit() * sum;
  double running = 0.0;
  std::uint64_t last_positive = degree;  // the last candidate with v > 0, if any
  for (std::uint64_t k = 0; k < degree; ++k) {
    const double v = value(k);
    running = running + v;
    if (z < running) return k;
    if (v > 0.0) last_positive = k;
  }
  if (last_positive < degree) return last_positive;
  // Every v underflowed to 0: the last candidate of positive weight.
  std::uint64_t k = degree - 1;
  while (w && !(w[k] > 0.0)) --k;
  return k;
}

}  // namespace vantrel
