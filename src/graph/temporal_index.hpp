// A time sampler's index, as the time-respecting step reads it: the times
// of the triples, the rule of the walks, each node's candidates in time
// order at its cells with the ranks of their times, the running sums of a
// decay's weights, the samples a hub's search starts from, a window's
// bounds by rank; and the time arithmetic the rule is written in.
// graph/temporal makes the index, graph/temporal_step walks it.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <type_traits>
#include <variant>

#include "core/memory.hpp"

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

// One cell's worth of a node's time index, at the cell of the node's place
// k in time order (block + 1 + k): the rank of the time there, the
// candidate there, and where it leads. Kept together, in 12 bytes at 32-bit
// ids, so that a step's search and its chosen place read the fewest lines,
// and indexed by cell so that a walk can ask for a node's index as it
// arrives, from its block alone.
template <class Id>
struct TimedEntry {
  static constexpr Id kNowhere = static_cast<Id>(-1);
  // The time's place among the distinct times of the graph's triples, the
  // earliest first: ranks compare as the times do, in half the bytes.
  Id rank;
  Id entry;
  // The place, in the time order of the node at the other end, of the entry
  // that a walk taking this one arrives over there (kNowhere: that node
  // does not list it), so that the walk knows it before it reads that
  // node's index, and asks for it ahead.
  Id far_place;
};

static_assert(sizeof(TimedEntry<std::uint32_t>) == 12 && sizeof(TimedEntry<std::uint64_t>) == 24);

// A time sampler's times and its index: for node u, whose block is at b, the
// cells b + 1 to b + degree(u) of `entries` hold u's candidates sorted by
// (time, candidate), and `sums` (with a decay only) at the same cells the
// running sums of their weights through each place, in float64 in time
// order. `places` gives, by entry (graph/layout's first_entry), the place
// in that order of each candidate, which a walk's first step alone reads:
// it draws among the candidates as they are listed. With a window,
// `window_bounds` gives for each time rank r the first rank a step from a
// time of rank r may take (going backward in time) or may no longer take
// (going forward).
class Temporal {
 public:
  using Entries = std::variant<ArrayRegion<TimedEntry<std::uint32_t>>, ArrayRegion<TimedEntry<std::uint64_t>>>;
  using Ids = std::variant<ArrayRegion<std::uint32_t>, ArrayRegion<std::uint64_t>>;

  // Every kSampleStride-th cell's time rank and running sum, kept apart: a
  // search over a hub's thousands of places reads these few lines first,
  // which stay in cache, and then one stride of the places.
  static constexpr std::uint64_t kSampleStride = 64;

  Temporal(TemporalRule rule, std::shared_ptr<const TripleTimes> triple_times, Entries entries, Ids places,
           ArrayRegion<double> sums, Ids rank_samples, ArrayRegion<double> sum_samples, Ids window_bounds)
      : rule_(rule),
        triple_times_(std::move(triple_times)),
        entries_(std::move(entries)),
        places_(std::move(places)),
        sums_(std::move(sums)),
        rank_samples_(std::move(rank_samples)),
        sum_samples_(std::move(sum_samples)),
        window_bounds_(std::move(window_bounds)) {}

  const TemporalRule& rule() const { return rule_; }
  // One time per triple of the graph as read, in input order.
  const TripleTimes& triple_times() const { return *triple_times_; }
  const std::shared_ptr<const TripleTimes>& shared_triple_times() const { return triple_times_; }
  bool integer_times() const { return std::holds_alternative<ArrayRegion<std::int64_t>>(*triple_times_); }

  template <class Id>
  const TimedEntry<Id>* entries() const {
    return std::get<ArrayRegion<TimedEntry<Id>>>(entries_).data();
  }
  template <class Id>
  const Id* places() const {
    return ids<Id>(places_);
  }
  const double* sums() const { return sums_.data(); }
  template <class Id>
  const Id* rank_samples() const {
    return ids<Id>(rank_samples_);
  }
  const double* sum_samples() const { return sum_samples_.data(); }
  // Null without a window.
  template <class Id>
  const Id* window_bounds() const {
    return ids<Id>(window_bounds_);
  }

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
  template <class Id>
  static const Id* ids(const Ids& region) {
    return std::get<ArrayRegion<Id>>(region).data();
  }

  TemporalRule rule_;
  std::shared_ptr<const TripleTimes> triple_times_;
  Entries entries_;
  Ids places_;
  ArrayRegion<double> sums_;
  Ids rank_samples_;
  ArrayRegion<double> sum_samples_;
  Ids window_bounds_;
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

// A window as within_window() takes it for times of type Time: for integer
// times, the whole part of `window` (the differences are whole), saturated
// at 2^64 - 1.
template <class Time>
auto window_in_time_units(double window) {
  if constexpr (std::is_same_v<Time, double>) {
    return window;
  } else {
    // 2^64 as a double: every whole window from there up saturates.
    constexpr double kTwoTo64 = 18446744073709551616.0;
    const double whole = std::floor(window);
    return whole >= kTwoTo64 ? UINT64_MAX : static_cast<std::uint64_t>(whole);
  }
}

}  // namespace vantrel
