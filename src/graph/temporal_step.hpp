// The time-respecting step: each triple happened at a time, and a walk's
// steps after its first take only facts on the walk's side of the time of
// the step before (later going forward in time, earlier going backward),
// within a window if one is set, uniformly or with an exponential bias
// towards the nearest in time. Each node's entries are indexed in time
// order, so that a step finds its candidates by bisection whatever the
// node's degree. graph/temporal makes the index; docs/walks.md gives the
// rule.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>
#include <variant>

#include "core/memory.hpp"
#include "graph/graph.hpp"
#include "random/random.hpp"

namespace vantrel {

// The time of each triple of a graph as read, in input order: int64 where
// they were given as integers (or dates), float64 otherwise.
using TripleTimes = std::variant<ArrayRegion<std::int64_t>, ArrayRegion<double>>;

// Which way in time each step after the first goes.
enum class TimeDirection : std::uint8_t { kForward, kBackward };

// What fixes which facts a step may take, besides the times.
struct TemporalRule {
  TimeDirection direction = TimeDirection::kForward;
  // Whether a fact of the walk's own time is left out.
  bool strict = false;
  // The largest time difference between consecutive steps, or none. For
  // integer times, the whole part of the window given (the differences
  // are whole), saturated at 2^64 - 1.
  std::optional<double> window;
  // The scale of the exponential bias, positive and finite; none: uniform.
  std::optional<double> decay;
};

// A time sampler's times and its index: for node u, the positions
// [first_entry(u), + degree(u)) of `order` hold u's candidates sorted by
// (time, candidate), `times` their times in that order, `rank` the place
// in that order of each candidate, and `sums` (with a decay only) the
// running sums of their weights, in float64 in that order.
class Temporal {
 public:
  using Entries = std::variant<ArrayRegion<std::uint32_t>, ArrayRegion<std::uint64_t>>;

  Temporal(TemporalRule rule, std::shared_ptr<const TripleTimes> triple_times, Entries order, Entries rank,
           TripleTimes times, ArrayRegion<double> sums)
      : rule_(rule),
        triple_times_(std::move(triple_times)),
        order_(std::move(order)),
        rank_(std::move(rank)),
        times_(std::move(times)),
        sums_(std::move(sums)) {}

  const TemporalRule& rule() const { return rule_; }
  // One time per triple of the graph as read, in input order.
  const TripleTimes& triple_times() const { return *triple_times_; }
  const std::shared_ptr<const TripleTimes>& shared_triple_times() const { return triple_times_; }
  bool integer_times() const { return std::holds_alternative<ArrayRegion<std::int64_t>>(times_); }

  template <class Id>
  const Id* order() const {
    return std::get<ArrayRegion<Id>>(order_).data();
  }
  template <class Id>
  const Id* rank() const {
    return std::get<ArrayRegion<Id>>(rank_).data();
  }
  template <class Time>
  const Time* times() const {
    return std::get<ArrayRegion<Time>>(times_).data();
  }
  const double* sums() const { return sums_.data(); }

  // The time of triple `triple` as its 64 bits (an int64's or a float64's).
  std::uint64_t time_bits(std::uint64_t triple) const {
    return std::visit(
        [triple](const auto& times) {
          std::uint64_t bits;
          std::memcpy(&bits, times.data() + triple, sizeof bits);
          return bits;
        },
        *triple_times_);
  }

 private:
  TemporalRule rule_;
  std::shared_ptr<const TripleTimes> triple_times_;
  Entries order_;
  Entries rank_;
  TripleTimes times_;
  ArrayRegion<double> sums_;
};

// The distance |later - earlier| in time as a float64: for integer times,
// computed exactly and rounded once; for float64 times, one subtraction.
// `later` is not before `earlier`.
inline double time_distance(std::int64_t later, std::int64_t earlier) {
  return static_cast<double>(static_cast<std::uint64_t>(later) - static_cast<std::uint64_t>(earlier));
}
inline double time_distance(double later, double earlier) { return later - earlier; }

// Whether `later` is within `window` after `earlier` (`later` not before it).
inline bool within_window(std::int64_t later, std::int64_t earlier, std::uint64_t window) {
  return static_cast<std::uint64_t>(later) - static_cast<std::uint64_t>(earlier) <= window;
}
inline bool within_window(double later, double earlier, double window) { return later - earlier <= window; }

// Where a time-respecting walk stands: as a uniform walk (`removed` being
// the entry it arrived over, among the node's candidates in their usual
// order), and the time of its last step, once it has taken one.
template <class Id, class Time>
struct TemporalPosition : WalkPosition<Id> {
  Time time{};
  bool timed = false;
};

// A graph walked by the time rule: the interface of BasicGraph's walk.
template <class Id, class Time>
class TemporalGraph : public WalkerOver<Id> {
 public:
  using Position = TemporalPosition<Id, Time>;
  // The window in the times' own arithmetic.
  using Window = std::conditional_t<std::is_same_v<Time, double>, double, std::uint64_t>;

  TemporalGraph(const BasicGraph<Id>& graph, const Temporal& temporal)
      : WalkerOver<Id>(graph),
        order_(temporal.order<Id>()),
        rank_(temporal.rank<Id>()),
        times_(temporal.times<Time>()),
        sums_(temporal.sums()),
        forward_(temporal.rule().direction == TimeDirection::kForward),
        strict_(temporal.rule().strict),
        windowed_(temporal.rule().window.has_value()),
        window_(window_of(temporal.rule().window)),
        decayed_(temporal.rule().decay.has_value()) {}

  static constexpr double draws_per_step() { return 1.5; }
  static constexpr std::uint64_t take_work(const Position&) { return 0; }
  Position begin_at(std::uint64_t start) const {
    Position at;
    at.block = graph_.blocks()[start];
    at.removed = Position::kNoEntry;
    return at;
  }

  std::uint64_t step(Position& at, StdRng& rng) const {
    std::uint64_t cell;
    return step_taking(at, rng, cell);
  }
  std::uint64_t try_step(Position& at, StdRng& rng) const { return step(at, rng); }

  // Takes one step: the first uniformly among all candidates, each later
  // one among those the time rule allows. Returns the relation token
  // taken, or kDeadEnd (drawing nothing) where no candidate is allowed;
  // `cell` receives the cell of the entry taken.
  std::uint64_t step_taking(Position& at, StdRng& rng, std::uint64_t& cell) const {
    const HeaderCell<Id>& header = cells_[at.block].header;
    const std::uint64_t forward_count = header.forward_count;
    const std::uint64_t count = degree(header);
    if (count == 0) return kDeadEnd;
    const std::uint64_t base = first_entry(at.block, header.node);
    std::uint64_t place;
    if (!at.timed) {
      place = rank_[base + rng.gen_range(0, count)];
    } else {
      const std::optional<std::uint64_t> chosen = choose(at, base, count, forward_count, rng);
      if (!chosen) return kDeadEnd;
      place = *chosen;
    }
    const std::uint64_t choice = order_[base + place];
    at.time = times_[base + place];
    at.timed = true;
    cell = entry_cell(at.block, choice);
    return graph_.follow(at, choice, forward_count);
  }

  // Mid walks are refused on time samplers before any walk is drawn: a
  // walk through its focus would go against time on one side. A turn
  // around starts untimed.
  Position turn_around(std::uint64_t start, std::uint64_t cell) const {
    Position at;
    static_cast<WalkPosition<Id>&>(at) = graph_.turn_around(start, cell);
    return at;
  }

 private:
  using WalkerOver<Id>::graph_;
  using WalkerOver<Id>::cells_;

  static Window window_of(const std::optional<double>& window) {
    if (!window) return Window{};
    if constexpr (std::is_same_v<Time, double>) {
      return *window;
    } else {
      // 2^64 as a double: every whole window from there up saturates.
      constexpr double kTwoTo64 = 18446744073709551616.0;
      const double whole = std::floor(*window);
      return whole >= kTwoTo64 ? UINT64_MAX : static_cast<std::uint64_t>(whole);
    }
  }

  // The running sum of the weights of the first `k` entries of the node
  // whose entries start at `base`.
  double sum_before(std::uint64_t base, std::uint64_t k) const { return k == 0 ? 0.0 : sums_[base + k - 1]; }

  // The place in time order of the candidate a later step takes from `at`,
  // or none where the rule allows no candidate.
  std::optional<std::uint64_t> choose(const Position& at, std::uint64_t base, std::uint64_t count,
                                      std::uint64_t forward_count, StdRng& rng) const {
    const Time* times = times_ + base;
    const Time now = at.time;
    std::uint64_t low;
    std::uint64_t high;
    // The allowed times form one run of the node's time order: at or after
    // (forward) or at or before (backward) the walk's time, less that time
    // itself when strict, and within the window.
    if (forward_) {
      low = strict_ ? upper_place(times, count, now) : lower_place(times, count, now);
      high = count;
      if (windowed_) {
        high = low +
               static_cast<std::uint64_t>(std::partition_point(times + low, times + count,
                                                               [&](Time t) { return within_window(t, now, window_); }) -
                                          (times + low));
      }
    } else {
      high = strict_ ? lower_place(times, count, now) : upper_place(times, count, now);
      low = 0;
      if (windowed_) {
        low = static_cast<std::uint64_t>(
            std::partition_point(times, times + high, [&](Time t) { return !within_window(now, t, window_); }) - times);
      }
    }
    if (low >= high) return std::nullopt;
    // The entry the walk arrived over, left out where it is in the run,
    // unless it is all the run holds.
    std::uint64_t removed = UINT64_MAX;
    if (at.removed != Position::kNoEntry && high - low >= 2) {
      const std::uint64_t place = rank_[base + at.removed_entry(forward_count)];
      if (place >= low && place < high) removed = place;
    }
    const bool leaves_out = removed != UINT64_MAX;
    if (!decayed_) {
      std::uint64_t place = low + rng.gen_range(0, high - low - (leaves_out ? 1 : 0));
      if (leaves_out && place >= removed) ++place;
      return place;
    }
    return exponential_choice(base, low, high, removed, rng);
  }

  // The exponential step over the run [low, high) of the node whose entries
  // start at `base`, leaving out the place `removed` (UINT64_MAX: none).
  std::uint64_t exponential_choice(std::uint64_t base, std::uint64_t low, std::uint64_t high, std::uint64_t removed,
                                   StdRng& rng) const {
    const bool leaves_out = removed != UINT64_MAX;
    // The run's weight, in the one or two parts around the removed entry.
    const double before = sum_before(base, leaves_out ? removed : high) - sum_before(base, low);
    const double after = leaves_out ? sum_before(base, high) - sum_before(base, removed + 1) : 0.0;
    const double total = before + after;
    if (total > 0.0) {
      const double z = rng.next_unit() * total;
      if (!leaves_out || z < before) return locate(base, low, leaves_out ? removed : high, sum_before(base, low) + z);
      return locate(base, removed + 1, high, sum_before(base, removed + 1) + (z - before));
    }
    // No weight left (every weight underflowed): the candidate nearest in
    // time, the removed entry aside.
    if (forward_) return removed == low ? low + 1 : low;
    return removed == high - 1 ? high - 2 : high - 1;
  }

  // The first place k in [low, high) whose running sum through k is above
  // `target`; where rounding leaves none, the last place of positive
  // weight. [low, high) has a positive weight.
  std::uint64_t locate(std::uint64_t base, std::uint64_t low, std::uint64_t high, double target) const {
    const double* sums = sums_ + base;
    const double* found = std::upper_bound(sums + low, sums + high, target);
    if (found != sums + high) return static_cast<std::uint64_t>(found - sums);
    // The first place whose running sum through it is the run's, which is
    // the last that adds weight.
    const double last = sums[high - 1];
    return static_cast<std::uint64_t>(std::lower_bound(sums + low, sums + high, last) - sums);
  }

  // The first place whose time is not before `now`, and the first after it.
  static std::uint64_t lower_place(const Time* times, std::uint64_t count, Time now) {
    return static_cast<std::uint64_t>(std::lower_bound(times, times + count, now) - times);
  }
  static std::uint64_t upper_place(const Time* times, std::uint64_t count, Time now) {
    return static_cast<std::uint64_t>(std::upper_bound(times, times + count, now) - times);
  }

  const Id* order_;
  const Id* rank_;
  const Time* times_;
  const double* sums_;
  bool forward_;
  bool strict_;
  bool windowed_;
  Window window_;
  bool decayed_;
};

static_assert(Walker<TemporalGraph<std::uint32_t, std::int64_t>> && Walker<TemporalGraph<std::uint64_t, double>>);

}  // namespace vantrel
