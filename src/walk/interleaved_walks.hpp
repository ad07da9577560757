// Walks by number drawn several at a time, interleaved so that one walk's
// wait for memory overlaps the others' work: the inner loop of walk_ids,
// walks and write_walks.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "core/interrupt.hpp"
#include "graph/kg.hpp"
#include "random/chacha20.hpp"
#include "random/random.hpp"
#include "walk/walk_request.hpp"
#include "walk/walk_rules.hpp"
#include "walk/walk_streams.hpp"

namespace vantrel {

// Calls visit.template operator()<kItems>() with `items` as a constant, so
// that each form has a walker of its own.
template <class Visit>
void with_items(Items items, Visit&& visit) {
  switch (items) {
    case Items::kPath: return visit.template operator()<Items::kPath>();
    case Items::kFull: return visit.template operator()<Items::kFull>();
    case Items::kNodes: return visit.template operator()<Items::kNodes>();
    case Items::kEdges:
    case Items::kTimes: break;  // drawn as routes (walk/routes), never interleaved
  }
}

// Where walks by number go and what is known of them before they are drawn.
template <class Token>
struct NumberedOutput {
  Token* tokens;
  std::uint64_t* ends;  // ends[k + 1]: walk k's token count (padded slots) or end (known lengths)
  // Known lengths on a restricted graph: walk k's token count, shorter than
  // its room where it ended at a node without edges. Null otherwise.
  std::uint64_t* counts;
  // Known lengths: the number of length draws of each walk, drawn beforehand.
  // Padded slots: null; walk k goes to tokens + (k - first_slot) × stride
  // and its length is drawn with it.
  const std::uint32_t* length_draws;
  std::uint64_t stride;
  std::uint64_t first_slot = 0;
};

// Calls visit.template operator()<kFocus>() with `focus` as a constant, so
// that walks through their focus have a walker of their own and walks from
// their start keep theirs as it is.
template <class Visit>
void with_focus(Focus focus, Visit&& visit) {
  if (focus == Focus::kMid) return visit.template operator()<Focus::kMid>();
  return visit.template operator()<Focus::kStart>();
}

// Draws walks by number, several at a time: each takes a step in turn, and
// the cells of its next step are prefetched meanwhile, so that the memory
// latency of one walk's jump overlaps the others' work. A walk's draws come
// from its own stream, so the interleaving changes nothing in it. A walk's
// tokens are written in form `kItems`: a node is written when the next step
// reads its block, so that listing the nodes reads nothing more.
// A walk through its focus (kFocus kMid) first takes its back route from the
// focus, written right to left from the focus's place in its room, each
// step listed the other way; that route is moved to the front of the room
// only where a dead end cut it short. Then it turns around at the focus and
// takes its ahead route, written left to right after it.
template <Walker Graph, class Token, Items kItems, Focus kFocus = Focus::kStart>
class InterleavedWalks {
 public:
  // The walks of `request`, of a sampler of `rules` as the request asks
  // for them (WalkRequest::rules_of), into `output`.
  InterleavedWalks(const Graph& graph, const WalkRules& rules, const WalkRequest& request,
                   const NumberedOutput<Token>& output, const InterruptPoll& poll)
      : graph_(graph),
        rules_(rules),
        output_(output),
        first_(request.first),
        start_(request.start),
        meter_(poll),
        blocks_ahead_(expected_blocks(rules, kFocus, graph.draws_per_step())),
        defer_starts_(graph.node_count() * sizeof(typename Graph::IdType) > kStartsInCache),
        slots_(make_slots(rules.key, std::make_index_sequence<kInFlight>())) {}

  // Draws walks begin to end - 1 of the request (positions, not numbers).
  void run(std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t batch = begin; batch < end; batch += kBatchWalks) {
      const std::uint64_t batch_end = std::min(end, batch + kBatchWalks);
      compute_first_blocks(batch, batch_end);
      std::uint64_t next = batch;
      std::size_t active = 0;
      for (Slot& slot : slots_) {
        if (next < batch_end) {
          load(slot, batch, next++);
          ++active;
        } else {
          slot.steps_left = kIdle;
        }
      }
      while (active > 0) {
        for (Slot& slot : slots_) {
          if (slot.steps_left == kIdle) continue;
          if (slot.starting) {
            stand_at_start(slot);
            continue;
          }
          // A back route over: the ahead route starts on this turn.
          if (kMid && slot.back && slot.steps_left == 0) turn_around(slot);
          if (slot.steps_left == 0) {
            note_blocks_read(slot.rng);
            // The end node, unless the start node alone is the whole walk.
            if (kItems == Items::kPath || slot.stepped) put(slot, graph_.end_node(slot.at));
            if (next < batch_end) {
              load(slot, batch, next++);
            } else {
              slot.steps_left = kIdle;
              --active;
            }
            continue;
          }
          // The node stepped from, read before the step moves on (from the
          // block the step reads anyway).
          const std::uint64_t here = kItems != Items::kPath ? graph_.end_node(slot.at) : 0;
          const std::uint64_t relation = take_step(slot);
          if (relation == kNotYet) continue;  // the step waits for memory: on with it next turn
          if (relation == kDeadEnd) [[unlikely]] {
            if (kMid && slot.back) {
              turn_around(slot);  // the back route ends here; the ahead route is still to come
            } else {
              end_early(slot);  // the node it stands on is written as the end node
            }
            continue;
          }
          if (kItems != Items::kPath && slot.stepped) put(slot, here);
          if (kItems != Items::kNodes) put(slot, kMid ? as_listed(slot, relation) : relation);
          slot.stepped = true;
          --slot.steps_left;
          graph_.prefetch(slot.at);
          // The focus's block, which the turn around reads next.
          if (kMid && slot.back && slot.steps_left == 0) graph_.prefetch(slot.focus_at);
          meter_.add(1 + graph_.take_work(slot.at));
        }
      }
    }
  }

 private:
  static constexpr bool kMid = kFocus == Focus::kMid;
  static constexpr std::size_t kInFlight = 16;
  static constexpr std::uint64_t kBatchWalks = 64;
  static_assert(kBatchWalks % kStreamLanes == 0);
  static constexpr std::uint64_t kIdle = UINT64_MAX;
  // The bytes of node-to-block entries (one per node) that stay in a core's
  // own cache (1 MiB, of 1 to 2 MiB of L2 on current x86-64 servers): past
  // them, a walk's start waits a turn for its entry rather than stall on it,
  // which graphs within them would pay for with a turn they do not need.
  static constexpr std::uint64_t kStartsInCache = std::uint64_t{1} << 20;
  static constexpr std::size_t kBlockWords = StdRng::kBlockWords;

  struct Slot {
    explicit Slot(const Key& key) : rng(StdRng::from_first_blocks(key, 0, nullptr, 0)) {}
    StdRng rng;
    typename Graph::Position at{};
    std::uint64_t steps_left = kIdle;
    Token* out = nullptr;
    bool stepped = false;    // whether the walk has taken a step
    bool starting = false;   // whether it is yet to stand at its start (stand_at_start())
    std::uint64_t walk = 0;  // its position in the request
    std::uint64_t path_len = 0;
    std::uint64_t focus = 0;  // its start node, which a mid walk runs through
    // A walk through its focus: whether it is on its back route, which is
    // written right to left (`out` is then one past the next item's place);
    // the steps of its ahead route; the start of its room; where it stood at
    // its focus before its first step; the cell of the back route's first
    // step, where the ahead route turns around.
    bool back = false;
    std::uint64_t ahead = 0;
    Token* room = nullptr;
    typename Graph::Position focus_at{};
    std::uint64_t first_cell = 0;
  };

  // Writes the next item of the walk in `slot`: after the items before it,
  // or on a back route before the items after it.
  static void put(Slot& slot, std::uint64_t item) {
    if constexpr (kMid) {
      // Without a branch: on a back route the item goes just before `out`,
      // which moves left.
      const std::ptrdiff_t back = slot.back;
      slot.out[-back] = static_cast<Token>(item);
      slot.out += 1 - 2 * back;
    } else {
      *slot.out++ = static_cast<Token>(item);
    }
  }

  // The relation token of a step as the walk lists it: on a back route,
  // followed the other way (forward and backward tokens of a relation differ
  // in the lowest bit of their offset past the node tokens).
  std::uint64_t as_listed(const Slot& slot, std::uint64_t token) const {
    const std::uint64_t nodes = graph_.node_count();
    return nodes + ((token - nodes) ^ static_cast<std::uint64_t>(slot.back));
  }

  // Takes (or goes on with) a step of the walk in `slot`; the first step
  // of a back route also notes the cell it took, which its turn around
  // needs.
  std::uint64_t take_step(Slot& slot) {
    if constexpr (kMid) {
      if (slot.back && !slot.stepped) return graph_.step_taking(slot.at, slot.rng, slot.first_cell);
    }
    return graph_.try_step(slot.at, slot.rng);
  }

  // Ends the back route of the walk in `slot` where it stands, its far end
  // written as its first node, moves it to the front of the room where it
  // ended early, and starts the ahead route from the focus: as if it had
  // arrived there over the back route's first step.
  void turn_around(Slot& slot) {
    if (kItems == Items::kPath || slot.stepped) put(slot, graph_.end_node(slot.at));
    const std::uint64_t back_steps = slot.path_len - slot.ahead - slot.steps_left;
    const std::uint64_t written = item_count(kItems, back_steps) - (kItems == Items::kPath ? 1 : 0);
    if (slot.out != slot.room) std::memmove(slot.room, slot.out, written * sizeof(Token));
    slot.out = slot.room + written;
    if (slot.steps_left != 0) {
      // A dead end cut the back route short: the walk is shorter than its room.
      slot.path_len = back_steps + slot.ahead;
      note_token_count(slot, item_count(kItems, slot.path_len));
    }
    slot.at = back_steps > 0 ? graph_.turn_around(slot.focus, slot.first_cell) : graph_.begin_at(slot.focus);
    graph_.prefetch(slot.at);
    slot.back = false;
    slot.stepped = false;
    slot.steps_left = slot.ahead;
  }

  // Ends the walk in `slot` at the node it stands on, which has no edge to
  // take: its token count is that of the steps it took.
  void end_early(Slot& slot) {
    note_token_count(slot, item_count(kItems, slot.path_len - slot.steps_left));
    slot.steps_left = 0;
  }

  // Records that the walk in `slot` holds `tokens` tokens, fewer than its
  // room where it ended early.
  void note_token_count(const Slot& slot, std::uint64_t tokens) {
    if (output_.length_draws) {
      output_.counts[slot.walk] = tokens;
    } else {
      output_.ends[slot.walk + 1] = tokens;
    }
  }

  // How many blocks the walk of `rng`, just ended, read, against what was
  // computed ahead.
  void note_blocks_read(const StdRng& rng) {
    const std::uint64_t blocks = (2 * rng.draws_made() + kBlockWords - 1) / kBlockWords;
    walks_past_ += blocks > blocks_ahead_;
    walks_past_one_fewer_ += blocks + 1 > blocks_ahead_;
    ++walks_noted_;
  }

  // Computes a block more or fewer ahead for every walk when that costs
  // less than the refills it saves or causes, as the last walks read: a
  // refill computes one block alone, at about the cost of kRefillCost
  // computed side by side. The walks are the same either way.
  void adapt_blocks_ahead() {
    constexpr std::uint64_t kRefillCost = 4;
    constexpr std::uint64_t kWalksNoted = 4 * kBatchWalks;
    if (walks_noted_ < kWalksNoted) return;
    if (walks_past_ * kRefillCost > walks_noted_ && blocks_ahead_ < kMostFirstBlocks) {
      ++blocks_ahead_;
    } else if (walks_past_one_fewer_ * kRefillCost < walks_noted_ && blocks_ahead_ > 1) {
      --blocks_ahead_;
    }
    walks_past_ = walks_past_one_fewer_ = walks_noted_ = 0;
  }

  template <std::size_t... I>
  static std::array<Slot, kInFlight> make_slots(const Key& key, std::index_sequence<I...>) {
    return {((void)I, Slot(key))...};
  }

  // The first blocks_ahead_ blocks of the streams of walks batch to
  // batch_end - 1, each walk's blocks side by side.
  void compute_first_blocks(std::uint64_t batch, std::uint64_t batch_end) {
    adapt_blocks_ahead();
    first_blocks_.compute(rules_.key, first_ + batch, batch_end - batch, blocks_ahead_);
  }

  // Starts walk k in `slot`: its generator (past the length draws, or
  // drawing the length), its start node, and its first token.
  void load(Slot& slot, std::uint64_t batch, std::uint64_t k) {
    first_blocks_.restart(slot.rng, first_ + k, k - batch);
    std::uint64_t path_len;
    if (output_.length_draws) {
      for (std::uint32_t d = 0; d < output_.length_draws[k]; ++d) slot.rng.next_u64();
      slot.out = output_.tokens + output_.ends[k];
      path_len = steps_of(kItems, output_.ends[k + 1] - output_.ends[k]);
    } else {
      path_len = draw_path_len(rules_, slot.rng);
      slot.out = output_.tokens + (k - output_.first_slot) * output_.stride;
      output_.ends[k + 1] = item_count(kItems, path_len);
    }
    const std::uint64_t start_node = start_of(graph_, start_, first_ + k, slot.rng);
    slot.steps_left = path_len;
    slot.stepped = false;
    slot.walk = k;
    slot.path_len = path_len;
    if constexpr (kMid) {
      // j steps back, j uniform in [0, L] (in [0, L) at L = 2^64 - 1, the
      // bound being below 2^64), then L - j ahead. The back route is written
      // from the focus's place leftwards, as if it took all j steps.
      const std::uint64_t back = path_len == 0 ? 0 : slot.rng.gen_range(0, path_len + (path_len < UINT64_MAX ? 1 : 0));
      slot.back = back > 0;  // no step back: a walk from its start
      slot.ahead = path_len - back;
      slot.steps_left = back > 0 ? back : path_len;
      slot.room = slot.out;
      if (back > 0) slot.out += item_count(kItems, back) - (kItems == Items::kPath ? 1 : 0);
      if (kItems != Items::kPath || back == 0) put(slot, start_node);
    } else {
      *slot.out++ = static_cast<Token>(start_node);
    }
    slot.focus = start_node;
    if (defer_starts_) {
      // Where the start's block is, a miss of its own on a large graph:
      // asked for now and read on the walk's next turn.
      slot.starting = true;
      graph_.prefetch_start(start_node);
    } else {
      stand_at_start(slot);
    }
  }

  // Stands the walk in `slot` at its start, whose block it asks for.
  void stand_at_start(Slot& slot) {
    slot.starting = false;
    slot.at = graph_.begin_at(slot.focus);
    if constexpr (kMid) slot.focus_at = slot.at;
    graph_.prefetch(slot.at);
  }

  const Graph& graph_;
  const WalkRules& rules_;
  const NumberedOutput<Token> output_;
  const std::uint64_t first_;
  const StartRule start_;
  PollingMeter meter_;  // steps, and work beyond them
  std::uint64_t blocks_ahead_;
  const bool defer_starts_;
  std::uint64_t walks_past_ = 0;            // walks noted that read past blocks_ahead_ blocks
  std::uint64_t walks_past_one_fewer_ = 0;  // ... past blocks_ahead_ - 1
  std::uint64_t walks_noted_ = 0;
  std::array<Slot, kInFlight> slots_;
  FirstBlocks first_blocks_{kBatchWalks};  // the batch's, blocks_ahead_ each when computed
};

}  // namespace vantrel
