// The time-respecting step: each triple happened at a time, and a walk's
// steps after its first take only facts on the walk's side of the time of
// the step before (later going forward in time, earlier going backward),
// within a window if one is set, uniformly or with an exponential bias
// towards the nearest in time. A step finds its candidates in the node's
// time index (graph/temporal_index) by searching out from where the walk's
// time stands, whatever the node's degree; docs/walks.md gives the rule.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>

#include "core/memory.hpp"
#include "graph/graph.hpp"
#include "graph/sampled_search.hpp"
#include "graph/temporal_index.hpp"
#include "random/random.hpp"

namespace vantrel {

// Where a time-respecting walk stands: as a uniform walk (`removed` being
// the entry it arrived over, among the node's candidates in their usual
// order), and the rank of the time of its last step, once it has taken one.
template <class Id>
struct TemporalPosition : WalkPosition<Id> {
  Id time_rank{};
  bool timed = false;
  // The place of the entry it arrived over in its node's time order, or
  // UINT64_MAX where the node does not list it.
  std::uint64_t arrived = UINT64_MAX;
  // How far a step left not over has come (TemporalGraph::Stage); `chosen`
  // then holds what it has drawn.
  std::uint8_t stage = 0;
  // A hub's search of its running sums left for the next visit: the cells
  // [sums_low, sums_high) it searches for the first running sum above
  // `sums_target`, and the stride [sums_from, sums_to) its samples left,
  // whose lines are coming.
  double sums_target = 0.0;
  std::uint64_t sums_low = 0;
  std::uint64_t sums_high = 0;
  std::uint64_t sums_from = 0;
  std::uint64_t sums_to = 0;
};

// A graph walked by the time rule: the interface of BasicGraph's walk.
template <class Id>
class TemporalGraph : public WalkerOver<Id> {
 public:
  using Position = TemporalPosition<Id>;
  using Entry = TimedEntry<Id>;

  TemporalGraph(const BasicGraph<Id>& graph, const Temporal& temporal)
      : WalkerOver<Id>(graph),
        entries_(temporal.entries<Id>()),
        places_(temporal.places<Id>()),
        sums_(temporal.sums()),
        rank_samples_(temporal.rank_samples<Id>()),
        sum_samples_(temporal.sum_samples()),
        window_bounds_(temporal.rule().window ? temporal.window_bounds<Id>() : nullptr),
        forward_(temporal.rule().direction == TimeDirection::kForward),
        strict_(temporal.rule().strict),
        decayed_(temporal.rule().decay.has_value()) {}

  static constexpr double draws_per_step() { return 1.5; }
  static constexpr std::uint64_t take_work(const Position&) { return 0; }
  Position begin_at(std::uint64_t start) const { return this->template uniform_begin_at<Position>(start); }

  // Takes one step: the first uniformly among all candidates, each later
  // one among those the time rule allows. Returns the relation token
  // taken, or kDeadEnd (drawing nothing) where no candidate is allowed.
  std::uint64_t step(Position& at, StdRng& rng) const { return advance<false>(at, rng, nullptr); }

  // step(), or kNotYet at a node of more than kCandidatesInCache
  // candidates, whose index and cells are most likely misses: once the
  // step has drawn, it asks for each line it reads next (the chosen
  // candidate's place, its index entry, its cell) and hands over to other
  // walks while it comes; the next try_step() goes on. The draws are
  // step()'s, in its order.
  std::uint64_t try_step(Position& at, StdRng& rng) const { return advance<true>(at, rng, nullptr); }

  // step(), also giving in `cell` the cell of the entry taken.
  std::uint64_t step_taking(Position& at, StdRng& rng, std::uint64_t& cell) const {
    return advance<false>(at, rng, &cell);
  }

  // Starts loading what the next step from `at` reads: the node's block
  // and its time index where the walk's own time stands. (Asking here for
  // a window's bound too, under a test for the window, made GCC 12 drop
  // the other two prefetches from the walk loop.)
  void prefetch(const Position& at) const {
    WalkerOver<Id>::prefetch(at);
    __builtin_prefetch(entries_ + at.block + 1 + arrived_or_first(at));
  }

  // Mid walks are refused on time samplers before any walk is drawn: a
  // walk through its focus would go against time on one side. A turn
  // around starts untimed.
  Position turn_around(std::uint64_t start, std::uint64_t cell) const {
    return this->template uniform_turn_around<Position>(start, cell);
  }

 private:
  using WalkerOver<Id>::graph_;
  using WalkerOver<Id>::cells_;

  // What a step left not over waits for (Position::stage): the chosen
  // candidate's place in time order (a first step), its index entry, its
  // cell; or, at a hub with a decay, the stride of running sums its search
  // narrowed down to.
  enum Stage : std::uint8_t { kDrawing, kPlaceComing, kEntryComing, kCellComing, kSumsComing };

  // What choose() gives where it left its search for the next visit.
  static constexpr std::uint64_t kHandedOver = UINT64_MAX;

  // step() (kMayYield false) or try_step() (true); `taken`, if given,
  // receives the cell of the entry taken.
  template <bool kMayYield>
  std::uint64_t advance(Position& at, StdRng& rng, std::uint64_t* taken) const {
    const HeaderCell<Id>& header = cells_[at.block].header;
    const std::uint64_t forward_count = header.forward_count;
    const std::uint64_t count = degree(header);
    const Entry* node = entries_ + at.block + 1;
    const bool yields = kMayYield && count > kCandidatesInCache;
    std::uint64_t place = at.chosen;
    switch (at.stage) {
      case kDrawing:
        if (count == 0) return kDeadEnd;
        if (!at.timed) {
          const std::uint64_t candidate = rng.gen_range(0, count);
          // The places are read by first steps alone, and not asked for
          // ahead: a walk that may hand over waits for its line.
          if (kMayYield) return wait(at, kPlaceComing, candidate, places_ + first_place_entry(at, header) + candidate);
          place = places_[first_place_entry(at, header) + candidate];
        } else {
          const std::optional<std::uint64_t> chosen = choose(at, node, count, rng, yields ? &at : nullptr);
          if (!chosen) return kDeadEnd;
          if (*chosen == kHandedOver) {
            at.stage = kSumsComing;
            return kNotYet;
          }
          place = *chosen;
        }
        if (yields) return wait(at, kEntryComing, place, node + place);
        break;
      case kPlaceComing:
        place = places_[first_place_entry(at, header) + place];
        if (yields) return wait(at, kEntryComing, place, node + place);
        break;
      case kEntryComing: return wait(at, kCellComing, place, &cells_[entry_cell(at.block, node[place].entry)]);
      case kCellComing: break;
      case kSumsComing:
        place = finish_locate(at.sums_low, at.sums_high, at.sums_from, at.sums_to, at.sums_target) - (at.block + 1);
        return wait(at, kEntryComing, place, node + place);
    }
    at.stage = kDrawing;
    at.chosen = Position::kNoEntry;
    const Entry& entry = node[place];
    const std::uint64_t choice = entry.entry;
    at.time_rank = entry.rank;
    at.timed = true;
    at.arrived = entry.far_place == Entry::kNowhere ? UINT64_MAX : std::uint64_t{entry.far_place};
    if (taken) *taken = entry_cell(at.block, choice);
    return graph_.follow(at, choice, forward_count);
  }

  // Where the places of the candidates of the node `at` stands on begin.
  static std::uint64_t first_place_entry(const Position& at, const HeaderCell<Id>& header) {
    return first_entry(at.block, header.node);
  }

  // The place of the index that prefetch() asked for.
  static std::uint64_t arrived_or_first(const Position& at) { return at.arrived == UINT64_MAX ? 0 : at.arrived; }

  // Leaves a step not over at `stage`, with `pending` (a candidate or a
  // place) kept and the line of `coming` asked for.
  static std::uint64_t wait(Position& at, Stage stage, std::uint64_t pending, const void* coming) {
    at.stage = stage;
    at.chosen = pending;
    __builtin_prefetch(coming);
    return kNotYet;
  }

  // The first place in [from, to) of `node` whose time rank r is not
  // `before(r)` (true for a prefix of them), by bisection.
  template <class Before>
  std::uint64_t first_place(const Entry* node, std::uint64_t from, std::uint64_t to, Before before) const {
    const auto cell = static_cast<std::uint64_t>(node - entries_);
    return first_sampled(
               rank_samples_, cell + from, cell + to, [this](std::uint64_t at) { return &entries_[at].rank; }, before) -
           cell;
  }

  // The same, searched up from `from` in steps that double: a step's
  // candidates are near the time it came at, so the answer is most often a
  // few places away, on the same cache line.
  template <class Before>
  std::uint64_t first_place_up(const Entry* node, std::uint64_t from, std::uint64_t to, Before before) const {
    std::uint64_t known = from;  // before() holds at every place in [from, known)
    // Up to a stride of places; the samples search what lies beyond.
    for (std::uint64_t step = 1; step <= Temporal::kSampleStride; step *= 2) {
      const std::uint64_t probe = known + step - 1;
      if (probe >= to) return first_place(node, known, to, before);
      if (!before(node[probe].rank)) return first_place(node, known, probe, before);
      known = probe + 1;
    }
    return first_place(node, known, to, before);
  }

  // The same, searched down from `to`: for a run that most often begins a
  // few places below it.
  template <class Before>
  std::uint64_t first_place_down(const Entry* node, std::uint64_t from, std::uint64_t to, Before before) const {
    std::uint64_t known = to;  // before() is false at every place in [known, to)
    for (std::uint64_t step = 1; step <= Temporal::kSampleStride; step *= 2) {
      if (known - from < step) return first_place(node, from, known, before);
      const std::uint64_t probe = known - step;
      if (before(node[probe].rank)) return first_place(node, probe + 1, known, before);
      known = probe;
    }
    return first_place(node, from, known, before);
  }

  // The run of places a later step may take: forward, from the first time
  // not before the walk's (after it, when strict) up to the first beyond
  // the window; backward, the mirror image. `arrived`, the place of the
  // entry the walk arrived over (whose time is the walk's), or UINT64_MAX,
  // starts the searches where the run begins or ends.
  // Times compare as their ranks do, and `now` is the walk's.
  void run_of(const Entry* node, std::uint64_t count, Id now, std::uint64_t arrived, std::uint64_t& low,
              std::uint64_t& high) const {
    auto earlier = [now](Id rank) { return rank < now; };
    auto not_later = [now](Id rank) { return rank <= now; };
    // The first rank beyond the window after the walk's time (forward), or
    // within it before (backward).
    const Id bound = window_bounds_ != nullptr ? window_bounds_[now] : Id{0};
    auto below_bound = [bound](Id rank) { return rank < bound; };
    const bool known = arrived != UINT64_MAX;
    if (forward_) {
      const bool strict_from_known = strict_ && known;
      low = strict_from_known ? first_place_up(node, arrived + 1, count, not_later)
            : known           ? first_place_down(node, 0, arrived, earlier)
            : strict_         ? first_place(node, 0, count, not_later)
                              : first_place(node, 0, count, earlier);
      high = window_bounds_ != nullptr ? first_place_up(node, low, count, below_bound) : count;
    } else {
      const bool loose_from_known = !strict_ && known;
      high = loose_from_known ? first_place_up(node, arrived + 1, count, not_later)
             : known          ? first_place_down(node, 0, arrived, earlier)
             : strict_        ? first_place(node, 0, count, earlier)
                              : first_place(node, 0, count, not_later);
      low = window_bounds_ != nullptr ? first_place_down(node, 0, high, below_bound) : 0;
    }
  }

  // The place in time order of the candidate a later step takes from `at`,
  // or none where the rule allows no candidate.
  // `handing`: where a hub's search of its running sums may be left for
  // the next visit (kHandedOver), or null.
  std::optional<std::uint64_t> choose(const Position& at, const Entry* node, std::uint64_t count, StdRng& rng,
                                      Position* handing) const {
    // The entry the walk arrived over, where it is among the node's
    // candidates: its time is the walk's.
    const std::uint64_t arrived = at.arrived;
    std::uint64_t low;
    std::uint64_t high;
    run_of(node, count, at.time_rank, arrived, low, high);
    if (low >= high) return std::nullopt;
    // That entry is left out of the run unless it is all the run holds.
    // Strict, it is never in the run; otherwise it always is.
    const std::uint64_t removed = !strict_ && arrived != UINT64_MAX && high - low >= 2 ? arrived : UINT64_MAX;
    const bool leaves_out = removed != UINT64_MAX;
    if (!decayed_) {
      std::uint64_t place = low + rng.gen_range(0, high - low - (leaves_out ? 1 : 0));
      if (leaves_out && place >= removed) ++place;
      return place;
    }
    return exponential_choice(sums_ + (node - entries_), low, high, removed, rng, handing);
  }

  // The running sum of the weights of the first `k` places of a node whose
  // running sums through each place are `sums`.
  static double sum_before(const double* sums, std::uint64_t k) { return k == 0 ? 0.0 : sums[k - 1]; }

  // The exponential step over the run [low, high) of a node whose running
  // sums are `sums`, leaving out the place `removed` (UINT64_MAX: none).
  std::uint64_t exponential_choice(const double* sums, std::uint64_t low, std::uint64_t high, std::uint64_t removed,
                                   StdRng& rng, Position* handing) const {
    const bool leaves_out = removed != UINT64_MAX;
    // The run's weight, in the one or two parts around the removed entry.
    const double before = sum_before(sums, leaves_out ? removed : high) - sum_before(sums, low);
    const double after = leaves_out ? sum_before(sums, high) - sum_before(sums, removed + 1) : 0.0;
    const double total = before + after;
    if (total > 0.0) {
      const double z = rng.next_unit() * total;
      if (!leaves_out || z < before) {
        return locate(sums, low, leaves_out ? removed : high, sum_before(sums, low) + z, handing);
      }
      return locate(sums, removed + 1, high, sum_before(sums, removed + 1) + (z - before), handing);
    }
    // No weight left (every weight underflowed): the candidate nearest in
    // time, the removed entry aside.
    if (forward_) return removed == low ? low + 1 : low;
    return removed == high - 1 ? high - 2 : high - 1;
  }

  // The first place k in [low, high) whose running sum through k is above
  // `target`; where rounding leaves none, the last place of positive
  // weight. [low, high) has a positive weight. Where the search goes
  // through the samples and `handing` is given, it stops once it has asked
  // for its stride, keeps where it stands there and gives kHandedOver.
  std::uint64_t locate(const double* sums, std::uint64_t low, std::uint64_t high, double target,
                       Position* handing) const {
    const auto cell = static_cast<std::uint64_t>(sums - sums_);
    std::uint64_t from = cell + low;
    std::uint64_t to = cell + high;
    narrow_by_samples(sum_samples_, from, to, sum_at(), not_above(target));
    if (handing != nullptr && high - low > 4 * Temporal::kSampleStride) {
      handing->sums_target = target;
      handing->sums_low = cell + low;
      handing->sums_high = cell + high;
      handing->sums_from = from;
      handing->sums_to = to;
      return kHandedOver;
    }
    return finish_locate(cell + low, cell + high, from, to, target) - cell;
  }

  // locate() over the cells [low, high), from the span [from, to) that the
  // samples left: the cell found.
  std::uint64_t finish_locate(std::uint64_t low, std::uint64_t high, std::uint64_t from, std::uint64_t to,
                              double target) const {
    const std::uint64_t found = bisect(from, to, sum_at(), not_above(target));
    if (found != high) return found;
    // The first place whose running sum through it is the run's, which is
    // the last that adds weight.
    const double last = sums_[high - 1];
    return first_sampled(sum_samples_, low, high, sum_at(), [last](double sum) { return sum < last; });
  }

  auto sum_at() const {
    return [this](std::uint64_t at) { return &sums_[at]; };
  }
  // Whether a running sum is not above `target`.
  static auto not_above(double target) {
    return [target](double sum) { return !(target < sum); };
  }

  const Entry* entries_;
  const Id* places_;
  const double* sums_;
  const Id* rank_samples_;
  const double* sum_samples_;
  // Null without a window.
  const Id* window_bounds_;
  bool forward_;
  bool strict_;
  bool decayed_;
};

static_assert(Walker<TemporalGraph<std::uint32_t>> && Walker<TemporalGraph<std::uint64_t>>);

}  // namespace vantrel
