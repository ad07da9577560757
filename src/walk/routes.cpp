#include "walk/routes.hpp"

#include <algorithm>

#include "core/memory.hpp"
#include "graph/entry_triples.hpp"
#include "graph/layout.hpp"
#include "random/chacha20.hpp"
#include "random/random.hpp"
#include "walk/walk_lengths.hpp"
#include "walk/walk_streams.hpp"

namespace vantrel {

namespace {

// The same relation token followed the other way.
constexpr std::uint64_t reversed_token(std::uint64_t token, std::uint64_t node_count) {
  return node_count + ((token - node_count) ^ 1);
}

// Draws walks by number with `walker`, kInFlight at a time: each takes a
// step in turn, so that one walk's wait for memory overlaps the others'
// work (a walk's draws come from its own stream: the turns change nothing
// in it). Each walk's route is kept in a slot whose buffers are reused, so
// that a walk allocates nothing once they are as long as the longest so far.
template <Walker W>
class RouteDrawer {
 public:
  using Id = typename W::IdType;
  static constexpr std::size_t kInFlight = kRoutesInFlight;

  RouteDrawer(const W& walker, const WalkRules& rules, const WalkRequest& request, const InterruptPoll& poll)
      : walker_(walker),
        rules_(rules),
        start_(request.start),
        items_(request.items),
        kind_(request.kind),
        triples_(request.kind.edges ? request.kind.edges->template data<Id>() : nullptr),
        node_count_(walker.node_count()),
        meter_(poll),
        slots_(kInFlight, Slot(rules.key)) {}

  // Appends the items of walks number to number + count - 1 (count <=
  // kInFlight), the batch's from `batch` on, in order, to buffers.tokens,
  // and the end of each to buffers.ends.
  template <class Token>
  void draw(const FirstBlocks& blocks, std::uint64_t batch, std::uint64_t number, std::size_t count,
            WalkBuffers<Token>& buffers) {
    for (std::size_t k = 0; k < count; ++k) begin(slots_[k], blocks, number + k, number + k - batch);
    for (std::size_t active = count; active > 0;) {
      active = 0;
      for (std::size_t k = 0; k < count; ++k) active += advance(slots_[k]) ? 1 : 0;
    }
    for (std::size_t k = 0; k < count; ++k) {
      list(slots_[k], buffers.tokens);
      buffers.ends.push_back(buffers.tokens.size());
    }
  }

 private:
  enum class Phase : std::uint8_t { kBack, kAhead, kDone };

  struct Slot {
    explicit Slot(const Key& key) : rng(StdRng::from_first_blocks(key, 0, nullptr, 0)) {}
    StdRng rng;
    typename W::Position at{};
    Phase phase = Phase::kDone;
    std::uint64_t focus = 0;
    std::uint64_t left = 0;        // steps left in this phase
    std::uint64_t ahead = 0;       // steps of the ahead route
    std::uint64_t back_steps = 0;  // steps the back route took
    std::uint64_t first_cell = 0;  // the cell of the back route's first step
    // Whether the node the walk stands on is still to be recorded: it is
    // read when the next step reads its block anyway (or when the route
    // ends, a round later), not right after the step that reached it, so
    // that one walk's wait for that block overlaps the other walks' steps.
    bool unrecorded = false;
    std::vector<std::uint64_t> nodes;  // the route's nodes, from its first
    std::vector<std::uint64_t> steps;  // its relation tokens
    std::vector<std::uint64_t> edges;  // its triples, where they are listed
  };

  // Starts walk `number` in `slot`, the k-th of its batch: its length,
  // focus, and for a mid walk how many steps go back.
  void begin(Slot& slot, const FirstBlocks& blocks, std::uint64_t number, std::uint64_t k) {
    StdRng& rng = slot.rng;
    blocks.restart(rng, number, k);
    const std::uint64_t path_len = draw_path_len(rules_, rng);
    slot.focus = start_of(walker_, start_, number, rng);
    slot.nodes.assign(1, slot.focus);
    slot.unrecorded = false;
    slot.steps.clear();
    slot.edges.clear();
    slot.at = walker_.begin_at(slot.focus);
    slot.back_steps = 0;
    if (kind_.focus == Focus::kMid) {
      // j steps back, j uniform in [0, L] (in [0, L) at L = 2^64 - 1, the
      // bound being below 2^64), then L - j ahead.
      const std::uint64_t back = path_len == 0 ? 0 : rng.gen_range(0, path_len + (path_len < UINT64_MAX ? 1 : 0));
      slot.phase = Phase::kBack;
      slot.left = back;
      slot.ahead = path_len - back;
    } else {
      slot.phase = Phase::kAhead;
      slot.left = path_len;
    }
    walker_.prefetch(slot.at);
    meter_.add(1);  // so that walks of no steps are counted too
  }

  // Takes the next step of the walk in `slot`, or ends a phase; false once
  // the walk is over.
  bool advance(Slot& slot) {
    if (slot.phase == Phase::kDone) return false;
    if (slot.left == 0) {
      end_phase(slot);
      return slot.phase != Phase::kDone;
    }
    // A route past what memory holds (a long walk on a graph it never leaves)
    // fails with std::bad_alloc before the system is made to swap or kill.
    if (slot.nodes.size() == slot.nodes.capacity()) ensure_fits_in_memory(2 * slot.nodes.size() + 16, 3 * 8);
    record(slot);
    std::uint64_t cell = 0;
    const std::uint64_t from = slot.nodes.back();
    const std::uint64_t token = walker_.step_taking(slot.at, slot.rng, cell);
    if (token == kDeadEnd) {
      end_phase(slot);
      return slot.phase != Phase::kDone;
    }
    if (slot.phase == Phase::kBack && slot.steps.empty()) slot.first_cell = cell;
    slot.steps.push_back(token);
    slot.unrecorded = true;
    // The entry's number: its cell, less the headers of the nodes up to `from`'s.
    if (triples_) slot.edges.push_back(triples_[cell - 1 - from]);
    --slot.left;
    walker_.prefetch(slot.at);
    meter_.add(1 + walker_.take_work(slot.at));
    return true;
  }

  // Records the node the walk in `slot` stands on, where it is not yet.
  void record(Slot& slot) const {
    if (!slot.unrecorded) return;
    slot.nodes.push_back(walker_.end_node(slot.at));
    slot.unrecorded = false;
  }

  // Ends the phase of the walk in `slot`: after the back route, the route
  // is reversed (listed from its far end, each step followed the other
  // way) and the ahead route starts from the focus.
  void end_phase(Slot& slot) {
    record(slot);
    if (slot.phase == Phase::kAhead) {
      slot.phase = Phase::kDone;
      return;
    }
    slot.back_steps = slot.steps.size();
    std::reverse(slot.nodes.begin(), slot.nodes.end());
    std::reverse(slot.steps.begin(), slot.steps.end());
    std::reverse(slot.edges.begin(), slot.edges.end());
    for (std::uint64_t& token : slot.steps) token = reversed_token(token, node_count_);
    slot.at = slot.back_steps > 0 ? walker_.turn_around(slot.focus, slot.first_cell) : walker_.begin_at(slot.focus);
    slot.phase = Phase::kAhead;
    slot.left = slot.ahead;
  }

  // Appends the route's items, its focus being node back_steps of it.
  template <class Token>
  void list(const Slot& slot, OverwriteVector<Token>& out) const {
    const std::span<const std::uint64_t> relabel = kind_.relabel;
    const std::uint64_t focus_index = slot.back_steps;
    const std::vector<std::uint64_t>& nodes = slot.nodes;
    auto node_item = [&](std::size_t i) {
      const std::uint64_t node = nodes[i];
      return static_cast<Token>(relabel.empty() || i == focus_index ? node : relabel[node]);
    };
    const std::size_t steps = slot.steps.size();
    // The room first, then the items written in place.
    const std::size_t at = out.size();
    const std::size_t count = item_count(items_, steps);
    if (out.capacity() < at + count) ensure_fits_in_memory(2 * (at + count), sizeof(Token));
    out.resize(at + count);
    Token* item = out.data() + at;
    switch (items_) {
      case Items::kPath:
        *item++ = node_item(0);
        for (const std::uint64_t token : slot.steps) *item++ = static_cast<Token>(token);
        *item = node_item(steps);
        return;
      case Items::kFull:
        for (std::size_t i = 0; i < steps; ++i) {
          *item++ = node_item(i);
          *item++ = static_cast<Token>(slot.steps[i]);
        }
        *item = node_item(steps);
        return;
      case Items::kNodes:
        for (std::size_t i = 0; i <= steps; ++i) *item++ = node_item(i);
        return;
      case Items::kEdges:
        for (const std::uint64_t triple : slot.edges) *item++ = static_cast<Token>(triple);
        return;
      case Items::kTimes:
        for (const std::uint64_t triple : slot.edges) *item++ = static_cast<Token>(kind_.times->time_bits(triple));
        return;
    }
  }

  const W& walker_;
  const WalkRules& rules_;
  const StartRule start_;
  const Items items_;
  const WalkKind& kind_;
  const Id* const triples_;
  const std::uint64_t node_count_;
  PollingMeter meter_;
  std::vector<Slot> slots_;
};

}  // namespace

template <class Token>
void draw_routes(const KG& kg, const WalkRules& rules, const WalkRequest& request, WalkBuffers<Token>& buffers,
                 const InterruptPoll& poll) {
  const std::uint64_t count = request.count();
  check_walkable(kg, count);
  ensure_routes_fit(rules, request.items, request.first, count, sizeof(Token),
                    std::min<std::uint64_t>(count, kRoutesInFlight));
  visit_walker(kg, [&](const auto& walker) {
    RouteDrawer<std::decay_t<decltype(walker)>> drawer(walker, rules, request, poll);
    // The first blocks of the streams of kStreamLanes walks at a time are
    // computed side by side, as the interleaved walks compute theirs.
    constexpr std::uint64_t kBatch = 8 * kStreamLanes;
    // A block more than the mean asks for: routes do not adapt it as the
    // interleaved walks do, walks longer than the mean are common, and a
    // block computed alone costs several computed side by side.
    const std::uint64_t blocks =
        std::min(expected_blocks(rules, request.kind.focus, walker.draws_per_step()) + 1, kMostFirstBlocks);
    FirstBlocks first_blocks(kBatch);
    for (std::uint64_t batch = request.first; batch < request.stop;) {
      const std::uint64_t batch_end = batch + std::min(kBatch, request.stop - batch);
      first_blocks.compute(rules.key, batch, batch_end - batch, blocks);
      // By what is left rather than by number: a number past the last walk may not exist (2^64).
      for (std::uint64_t done = 0; done < batch_end - batch; done += kRoutesInFlight) {
        const std::uint64_t count = std::min<std::uint64_t>(kRoutesInFlight, batch_end - batch - done);
        drawer.draw(first_blocks, batch, batch + done, count, buffers);
      }
      batch = batch_end;
    }
  });
}

template void draw_routes(const KG&, const WalkRules&, const WalkRequest&, WalkBuffers<std::uint32_t>&,
                          const InterruptPoll&);
template void draw_routes(const KG&, const WalkRules&, const WalkRequest&, WalkBuffers<std::uint64_t>&,
                          const InterruptPoll&);

}  // namespace vantrel
