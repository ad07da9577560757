// The metapath step: step k of every walk takes only the candidates whose
// relation and direction are the pattern's k-th (the pattern repeating),
// among them by the uniform rule. Each node's entries are indexed by
// relation token, so that a step's cost does not grow with the degree.
// graph/metapath makes the index.
#pragma once

#include <algorithm>
#include <cstdint>
#include <variant>
#include <vector>

#include "core/interrupt.hpp"
#include "core/memory.hpp"
#include "graph/graph.hpp"
#include "random/random.hpp"

namespace vantrel {

// A step's relation token without the node count: 2r for relation r
// followed forward, 2r + 1 backward.
using StepKey = std::uint64_t;

// The pattern of a metapath sampler, with each node's entries in the order
// of their step keys: for node u, order[first_entry(u) .. + degree(u)) holds
// its candidate positions sorted by (step key, position), 4 bytes an entry
// at 32-bit ids.
class Metapath {
 public:
  template <class Id>
  Metapath(std::vector<StepKey> pattern, ArrayRegion<Id> order)
      : pattern_(std::move(pattern)), order_(std::move(order)) {}

  const std::vector<StepKey>& pattern() const { return pattern_; }
  template <class Id>
  const ArrayRegion<Id>& order() const {
    return std::get<ArrayRegion<Id>>(order_);
  }

 private:
  std::vector<StepKey> pattern_;  // not empty
  std::variant<ArrayRegion<std::uint32_t>, ArrayRegion<std::uint64_t>> order_;
};

// Where a metapath walk stands: as a uniform walk, and how many steps it
// has taken (which pattern key the next step follows).
template <class Id>
struct MetapathPosition : WalkPosition<Id> {
  std::uint64_t steps = 0;
};

// A graph walked by a metapath: the interface of BasicGraph's walk.
template <class Id>
class MetapathGraph : public WalkerOver<Id> {
 public:
  using Position = MetapathPosition<Id>;

  MetapathGraph(const BasicGraph<Id>& graph, const Metapath& metapath)
      : WalkerOver<Id>(graph),
        order_(metapath.order<Id>().data()),
        pattern_(metapath.pattern().data()),
        pattern_size_(metapath.pattern().size()) {}

  static constexpr double draws_per_step() { return 1.5; }
  static constexpr std::uint64_t take_work(const Position&) { return 0; }
  Position begin_at(std::uint64_t start) const { return this->template uniform_begin_at<Position>(start); }

  // Takes one step: among the candidates of the step's key, the edge just
  // used left out unless it is the only one, a uniform draw. Returns the
  // relation token taken, or kDeadEnd where no candidate has the key.
  std::uint64_t step(Position& at, StdRng& rng) const {
    std::uint64_t cell;
    return step_taking(at, rng, cell);
  }
  std::uint64_t try_step(Position& at, StdRng& rng) const { return step(at, rng); }

  // step(), also giving in `cell` the cell of the entry taken.
  std::uint64_t step_taking(Position& at, StdRng& rng, std::uint64_t& cell) const {
    const HeaderCell<Id>& header = cells_[at.block].header;
    const std::uint64_t forward_count = header.forward_count;
    const StepKey key = pattern_[at.steps % pattern_size_];
    const Id* order = order_ + first_entry(at.block, header.node);
    const Id* end = order + degree(header);
    auto key_of = [&](std::uint64_t k) -> StepKey {
      return 2 * StepKey{cells_[entry_cell(at.block, k)].edge.relation} + (k < forward_count ? 0 : 1);
    };
    const Id* low = std::partition_point(order, end, [&](Id k) { return key_of(k) < key; });
    const Id* high = std::partition_point(low, end, [&](Id k) { return key_of(k) == key; });
    const std::uint64_t matching = static_cast<std::uint64_t>(high - low);
    if (matching == 0) return kDeadEnd;
    std::uint64_t pick;
    std::uint64_t removed = at.removed == Position::kNoEntry ? Position::kNoEntry : at.removed_entry(forward_count);
    // The edge just used is left out where it is among the matching
    // candidates. A self-loop has two entries here, its forward one
    // recorded; the key may match its backward one instead.
    if (removed < forward_count && key_of(removed) != key) {
      const EdgeCell<Id>& edge = cells_[entry_cell(at.block, removed)].edge;
      if (edge.block == at.block && edge.twin != BasicGraph<Id>::kNoTwin) removed = forward_count + edge.twin;
    }
    if (matching >= 2 && removed != Position::kNoEntry && key_of(removed) == key) {
      const auto rank = static_cast<std::uint64_t>(std::lower_bound(low, high, removed) - low);
      pick = rng.gen_range(0, matching - 1);
      if (pick >= rank) ++pick;
    } else {
      pick = rng.gen_range(0, matching);
    }
    const std::uint64_t choice = low[pick];
    cell = entry_cell(at.block, choice);
    ++at.steps;
    return graph_.follow(at, choice, forward_count);
  }

  Position turn_around(std::uint64_t start, std::uint64_t cell) const {
    return this->template uniform_turn_around<Position>(start, cell);
  }

 private:
  using WalkerOver<Id>::graph_;
  using WalkerOver<Id>::cells_;
  const Id* order_;
  const StepKey* pattern_;
  std::uint64_t pattern_size_;
};

static_assert(Walker<MetapathGraph<std::uint32_t>> && Walker<MetapathGraph<std::uint64_t>>);

}  // namespace vantrel
