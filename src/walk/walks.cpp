#include "walk/walks.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/parallel.hpp"
#include "graph/kg.hpp"
#include "walk/distinct_walks.hpp"
#include "walk/interleaved_walks.hpp"
#include "walk/routes.hpp"
#include "walk/walk_lengths.hpp"

namespace vantrel {

namespace {

// Walks by number are handed to threads in chunks of at most this many,
constexpr std::uint64_t kChunkWalks = 4096;
// and of at least this many (a multiple of the walks drawn side by side):
// fewer walks than give each thread two full chunks are cut smaller, so that
// a call of a few thousand walks (a training batch) still runs on every thread.
constexpr std::uint64_t kLeastChunkWalks = 512;
static_assert(kChunkWalks % kLeastChunkWalks == 0 && kLeastChunkWalks % kStreamLanes == 0);

// The walks in a chunk, for `count` walks on `threads` threads. What a walk
// is never depends on it.
std::uint64_t chunk_walks(std::uint64_t count, unsigned threads) {
  if (threads <= 1) return kChunkWalks;
  const std::uint64_t share = count / (2 * std::uint64_t{threads});
  return std::clamp((share + kLeastChunkWalks - 1) / kLeastChunkWalks * kLeastChunkWalks, kLeastChunkWalks,
                    kChunkWalks);
}

// The chunks of `chunk` walks that `count` walks make.
std::uint64_t chunk_count(std::uint64_t count, std::uint64_t chunk) { return count / chunk + (count % chunk != 0); }

// a + b, or std::bad_alloc when the sum of sizes overflows.
std::uint64_t add_sizes(std::uint64_t a, std::uint64_t b) {
  if (b > UINT64_MAX - a) throw std::bad_alloc();
  return a + b;
}

// How much longer than the expected walk a padded slot may be.
constexpr double kMostPaddedWaste = 3.0;

// Draws the lengths of walks begin to end - 1 of `request` (positions in
// it): ends[k + 1] = walk k's token count, draws[k] = the number of draws
// its length took.
void draw_lengths(const WalkRules& rules, const WalkRequest& request, std::uint64_t begin, std::uint64_t end,
                  std::uint64_t* ends, std::uint32_t* draws) {
  for_each_walk_length(rules, request.first, begin, end,
                       [&](std::uint64_t k, std::uint64_t path_len, const StdRng& rng) {
                         ends[k + 1] = item_count(request.items, path_len);
                         if (rng.draws_made() > UINT32_MAX) throw std::bad_alloc();  // lengths of no realistic mean
                         draws[k] = static_cast<std::uint32_t>(rng.draws_made());
                       });
}

// Where walks by number are laid out, and within what: ends[k + 1] for
// walk k; room(n) gives room for n tokens, memory never written (pages the
// kernel zeroes on first touch) where `fresh_room`, else memory written
// before; for_each_chunk(tasks, work) runs work(task, poll) for each chunk
// of walks on `threads` threads (chunk_walks() of them); each token costs
// `bytes_per_token` besides itself, and padded slots at most
// `most_padded_bytes`.
template <class Room, class ForEachChunk>
struct Layout {
  std::uint64_t* ends;
  Room& room;
  bool fresh_room;
  ForEachChunk& for_each_chunk;
  unsigned threads;
  std::uint64_t bytes_per_token;
  std::uint64_t most_padded_bytes;
};

// Whether walks by number are drawn in one pass into slots of the longest
// possible walk (a stride of its tokens in form `items`), then moved together
// or read in place: when those slots, with `bytes_per_token` each, fit in
// memory and in `most_bytes`, and hold at most kMostPaddedWaste times the
// expected tokens. Otherwise each walk's length is drawn first, so that the
// output is allocated exactly.
bool in_padded_slots(const WalkRules& rules, Items items, std::uint64_t count, std::uint64_t bytes_per_token,
                     std::uint64_t most_bytes) {
  const std::uint64_t stride = item_count(items, longest_path_len(rules));
  if (stride == UINT64_MAX || stride > UINT64_MAX / count) return false;
  if (static_cast<double>(stride) > kMostPaddedWaste * expected_items(rules, items)) return false;
  if (stride * count > most_bytes / bytes_per_token) return false;
  try {
    ensure_fits_in_memory(stride * count, bytes_per_token);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// Moves walks drawn into the room of their drawn lengths (laid out by
// `ends`) down to their token counts, in order, makes `ends` their ends
// again, and returns the tokens in all.
template <class Token>
std::uint64_t close_gaps(Token* tokens, std::uint64_t* ends, const std::uint64_t* counts, std::uint64_t count) {
  std::uint64_t from = 0;
  std::uint64_t to = 0;
  for (std::uint64_t k = 0; k < count; ++k) {
    const std::uint64_t next_from = ends[k + 1];
    if (from != to) std::memmove(tokens + to, tokens + from, counts[k] * sizeof(Token));
    to += counts[k];
    ends[k + 1] = to;
    from = next_from;
  }
  return to;
}

// Draws walks whose lengths were drawn beforehand in place, with
// draw_walks(output): into the room those lengths give, laid out by `ends`
// (`draws` holding each walk's length draws). On a graph where a walk may
// end early, the walks are then moved together. Returns the tokens in all.
template <class Token, class DrawWalks>
std::uint64_t draw_in_place(const KG& kg, Token* tokens, std::uint64_t* ends, const std::uint32_t* draws,
                            std::uint64_t count, DrawWalks&& draw_walks) {
  std::vector<std::uint64_t> counts;
  if (kg.may_end_early()) {
    counts.resize(count);
    for (std::uint64_t k = 0; k < count; ++k) counts[k] = ends[k + 1] - ends[k];
  }
  draw_walks(NumberedOutput<Token>{tokens, ends, counts.empty() ? nullptr : counts.data(), draws, 0});
  return counts.empty() ? ends[count] : close_gaps(tokens, ends, counts.data(), count);
}

// One pass into slots of the longest walk (`stride` tokens each), with
// draw_walks(output), then each walk moved down to its place, in order (a
// walk never moves up): for room written before, which costs nothing more
// to write again. Returns the tokens in all.
template <class Token, class Room, class DrawWalks>
std::uint64_t draw_in_reused_slots(std::uint64_t count, std::uint64_t stride, std::uint64_t* ends, Room&& room,
                                   DrawWalks&& draw_walks) {
  Token* const tokens = room(stride * count);
  draw_walks(NumberedOutput<Token>{tokens, ends, nullptr, nullptr, stride});
  for (std::uint64_t k = 0; k < count; ++k) {
    const std::uint64_t length = ends[k + 1];
    ends[k + 1] = ends[k] + length;
    if (ends[k] != k * stride) std::memmove(tokens + ends[k], tokens + k * stride, length * sizeof(Token));
  }
  return ends[count];
}

// For fresh room, whose pages are zeroed as they are first written. One
// pass: each chunk's walks, with for_each_walk_chunk, into slots of the
// longest walk (`stride` tokens) in a buffer of the chunk's own, then back
// to back at the start of the chunk's share of the room; then the chunks
// down to their places, in order (a chunk never moves up). Only the pages
// that end up holding tokens are written: where walks are much shorter than
// their slots (on a restricted graph, say), most of the room is never
// touched. Returns the tokens in all.
template <class Token, class Room, class ForEachWalkChunk>
std::uint64_t draw_in_fresh_slots(std::uint64_t count, std::uint64_t chunk_size, std::uint64_t stride,
                                  std::uint64_t* ends, Room&& room, ForEachWalkChunk&& for_each_walk_chunk) {
  const std::uint64_t tasks = chunk_count(count, chunk_size);
  Token* const tokens = room(stride * count);
  std::vector<std::uint64_t> chunk_tokens(tasks);
  for_each_walk_chunk([&](std::uint64_t task, std::uint64_t begin, std::uint64_t end, const auto& draw) {
    const auto slots = std::make_unique_for_overwrite<Token[]>((end - begin) * stride);
    draw(NumberedOutput<Token>{slots.get(), ends, nullptr, nullptr, stride, begin});
    Token* const chunk = tokens + begin * stride;
    Token* out = chunk;
    for (std::uint64_t k = begin; k < end; ++k) {
      std::memcpy(out, slots.get() + (k - begin) * stride, ends[k + 1] * sizeof(Token));
      out += ends[k + 1];
    }
    chunk_tokens[task] = static_cast<std::uint64_t>(out - chunk);
  });
  std::uint64_t placed = 0;
  for (std::uint64_t task = 0; task < tasks; ++task) {
    const std::uint64_t chunk = task * chunk_size * stride;
    if (placed != chunk) std::memmove(tokens + placed, tokens + chunk, chunk_tokens[task] * sizeof(Token));
    placed += chunk_tokens[task];
  }
  for (std::uint64_t k = 0; k < count; ++k) ends[k + 1] += ends[k];
  return ends[count];
}

// Every walk's length first (on the threads of the layout), so that the
// room is allocated exactly; then the walks in place, with draw_walks, each
// stream again from its first blocks, past its length draws. Returns the
// tokens in all.
template <class Token, class Room, class ForEachChunk, class DrawWalks>
std::uint64_t draw_lengths_first(const KG& kg, const WalkRules& rules, const WalkRequest& request,
                                 const Layout<Room, ForEachChunk>& layout, DrawWalks&& draw_walks) {
  const std::uint64_t count = request.count();
  std::uint64_t* const ends = layout.ends;
  // ends[k + 1] holds walk k's token count.
  ensure_fits_in_memory(count, sizeof(std::uint64_t) + sizeof(std::uint32_t));
  auto length_draws = ArrayRegion<std::uint32_t>::allocate(count);
  std::uint32_t* const draws = length_draws.mutable_data();
  const std::uint64_t chunk = chunk_walks(count, layout.threads);
  layout.for_each_chunk(chunk_count(count, chunk), [&](std::uint64_t task, const InterruptPoll&) {
    draw_lengths(rules, request, task * chunk, std::min(count, (task + 1) * chunk), ends, draws);
  });
  for (std::uint64_t k = 0; k < count; ++k) ends[k + 1] = add_sizes(ends[k], ends[k + 1]);
  ensure_fits_in_memory(ends[count], sizeof(Token) + layout.bytes_per_token);
  return draw_in_place(kg, layout.room(ends[count]), ends, draws, count, draw_walks);
}

// Draws the walks of `request` (not drawn as routes, count > 0) into the
// tokens that layout.room(n) gives room for, back to back: walk k is
// tokens[ends[k] .. ends[k + 1]), ends[0] being 0. The layout is the one
// choice of in_padded_slots: in one pass into padded slots of the longest
// walk, then moved together; or every walk's length first, then the walks
// in place. Returns the tokens in all.
template <class Token, class Room, class ForEachChunk>
std::uint64_t draw_numbered_into(const KG& kg, const WalkRules& rules, const WalkRequest& request,
                                 const Layout<Room, ForEachChunk>& layout) {
  const std::uint64_t count = request.count();
  const std::uint64_t chunk = chunk_walks(count, layout.threads);
  // Calls work(task, begin, end, draw) for each chunk of walks begin to end
  // - 1, where draw(output) draws them into `output`.
  auto for_each_walk_chunk = [&](const auto& work) {
    with_items(request.items, [&]<Items kItems>() {
      with_focus(request.kind.focus, [&]<Focus kFocus>() {
        visit_walker(kg, [&](const auto& walker) {
          layout.for_each_chunk(chunk_count(count, chunk), [&](std::uint64_t task, const InterruptPoll& task_poll) {
            const std::uint64_t begin = task * chunk;
            const std::uint64_t end = std::min(count, begin + chunk);
            work(task, begin, end, [&](const NumberedOutput<Token>& output) {
              InterleavedWalks<std::decay_t<decltype(walker)>, Token, kItems, kFocus> walks(walker, rules, request,
                                                                                            output, task_poll);
              walks.run(begin, end);
            });
          });
        });
      });
    });
  };
  auto draw_walks = [&](const NumberedOutput<Token>& output) {
    for_each_walk_chunk([&](std::uint64_t, std::uint64_t, std::uint64_t, const auto& draw) { draw(output); });
  };
  const std::uint64_t token_bytes = sizeof(Token) + layout.bytes_per_token;
  if (!in_padded_slots(rules, request.items, count, token_bytes, layout.most_padded_bytes)) {
    return draw_lengths_first<Token>(kg, rules, request, layout, draw_walks);
  }
  const std::uint64_t stride = item_count(request.items, longest_path_len(rules));
  return layout.fresh_room
             ? draw_in_fresh_slots<Token>(count, chunk, stride, layout.ends, layout.room, for_each_walk_chunk)
             : draw_in_reused_slots<Token>(count, stride, layout.ends, layout.room, draw_walks);
}

// The most tokens a chunk of routes reserves room for ahead.
constexpr std::uint64_t kMostReservedTokens = std::uint64_t{1} << 24;

// Throws std::bad_alloc, before any walk is drawn, where the routes of the
// walks of `request` could not fit in memory with `bytes_per_item` for each
// item: walks of the longest length first, and where those would not fit,
// the lengths drawn, a chunk a task.
void refuse_routes_past_memory(const WalkRules& rules, const WalkRequest& request, std::uint64_t bytes_per_item,
                               const InterruptPoll& poll) {
  const std::uint64_t count = request.count();
  const std::uint64_t in_flight = std::min<std::uint64_t>(count, kRoutesInFlight * std::max(request.threads, 1u));
  if (routes_fit(longest_route_sizes(rules, request.items, count), bytes_per_item, in_flight)) return;
  const std::uint64_t chunk = chunk_walks(count, request.threads);
  std::vector<RouteSizes> sizes(chunk_count(count, chunk));
  run_tasks(
      sizes.size(), request.threads,
      [&](std::uint64_t task, const InterruptPoll&) {
        const std::uint64_t begin = task * chunk;
        sizes[task] = drawn_route_sizes(rules, request.items, request.first + begin, std::min(chunk, count - begin));
      },
      poll);
  RouteSizes total;
  for (const RouteSizes& chunk : sizes) total = total + chunk;
  if (!routes_fit(total, bytes_per_item, in_flight)) throw std::bad_alloc();
}

// The walks of `request` drawn as routes (walk/routes), a chunk a task
// on up to request.threads threads, each chunk into buffers of its own,
// then joined.
template <class Token>
WalkTokens<Token> draw_numbered_routes(const KG& kg, const WalkRules& rules, const WalkRequest& request,
                                       std::uint64_t bytes_per_token, const InterruptPoll& poll) {
  const std::uint64_t count = request.count();
  refuse_routes_past_memory(rules, request, sizeof(Token) + bytes_per_token, poll);
  const std::uint64_t chunk = chunk_walks(count, request.threads);
  std::vector<WalkBuffers<Token>> chunks(chunk_count(count, chunk));
  run_tasks(
      chunks.size(), request.threads,
      [&](std::uint64_t task, const InterruptPoll& task_poll) {
        const std::uint64_t begin = request.first + task * chunk;
        const std::uint64_t end = begin + std::min(chunk, count - task * chunk);
        // Room for the walks' expected items and a quarter more, so that
        // the buffer seldom grows (and copies) as they come.
        const double expected = static_cast<double>(end - begin) * expected_items(rules, request.items) * 1.25;
        if (expected < static_cast<double>(kMostReservedTokens)) {
          chunks[task].tokens.reserve(static_cast<std::size_t>(expected));
        }
        chunks[task].ends.reserve(end - begin + 1);
        chunks[task].ends.assign(1, 0);
        draw_routes(kg, rules, request.range(begin, end), chunks[task], task_poll);
      },
      poll);
  std::uint64_t total = 0;
  for (const WalkBuffers<Token>& chunk : chunks) total = add_sizes(total, chunk.tokens.size());
  ensure_fits_in_memory(total, sizeof(Token) + bytes_per_token);
  auto tokens = ArrayRegion<Token>::allocate(total, Pages::kSmall);
  auto offsets = ArrayRegion<std::uint64_t>::allocate(count + 1);
  std::uint64_t* ends = offsets.mutable_data();
  ends[0] = 0;
  std::uint64_t placed = 0;
  std::uint64_t walk = 0;
  for (WalkBuffers<Token>& chunk : chunks) {
    std::copy(chunk.tokens.begin(), chunk.tokens.end(), tokens.mutable_data() + placed);
    for (std::size_t k = 1; k < chunk.ends.size(); ++k) ends[++walk] = placed + chunk.ends[k];
    placed += chunk.tokens.size();
    chunk = WalkBuffers<Token>{};
  }
  return {std::move(tokens), std::move(offsets)};
}

}  // namespace

template <class Token>
WalkTokens<Token> draw_numbered_walks(const KG& kg, const WalkRules& sampler_rules, const WalkRequest& request,
                                      std::uint64_t bytes_per_token, const InterruptPoll& poll,
                                      std::uint64_t most_padded_bytes) {
  const WalkRules rules = request.rules_of(sampler_rules);
  const std::uint64_t count = request.count();
  check_walkable(kg, count);
  WalkTokens<Token> walks;
  if (count > 0 && request.kind.drawn_as_routes(request.items)) {
    walks = draw_numbered_routes<Token>(kg, rules, request, bytes_per_token, poll);
  } else {
    ensure_fits_in_memory(add_sizes(count, 1), sizeof(std::uint64_t));
    walks.offsets = ArrayRegion<std::uint64_t>::allocate(count + 1);
    std::uint64_t* const ends = walks.offsets.mutable_data();
    ends[0] = 0;
    if (count == 0) return {ArrayRegion<Token>::allocate(0), std::move(walks.offsets)};
    auto room = [&](std::uint64_t tokens) {
      walks.tokens = ArrayRegion<Token>::allocate(tokens, Pages::kSmall);
      return walks.tokens.mutable_data();
    };
    auto on_threads = [&](std::uint64_t tasks, const auto& work) { run_tasks(tasks, request.threads, work, poll); };
    const Layout<decltype(room), decltype(on_threads)> layout{
        ends, room, true, on_threads, request.threads, bytes_per_token, most_padded_bytes};
    walks.tokens.shrink(draw_numbered_into<Token>(kg, rules, request, layout));
  }
  if (request.kind.unique) keep_distinct(walks, request.threads, poll);
  return walks;
}

template <class Token>
void draw_numbered_chunk(const KG& kg, const WalkRules& sampler_rules, const WalkRequest& request,
                         WalkBuffers<Token>& buffers, const InterruptPoll& poll, std::uint64_t most_padded_bytes) {
  const WalkRules rules = request.rules_of(sampler_rules);
  const std::uint64_t count = request.count();
  check_walkable(kg, count);
  if (request.kind.drawn_as_routes(request.items)) {
    buffers.tokens.clear();
    buffers.ends.assign(1, 0);
    draw_routes(kg, rules, request, buffers, poll);
    return;
  }
  buffers.ends.resize(count + 1);
  buffers.ends[0] = 0;
  if (count == 0) return;
  // The vector only grows, so that a thread's buffer settles at its size;
  // what it held is not kept, and its new room is left unwritten: a mid
  // walk's room is its whole length at once (gigabytes for a walk of 10^8
  // steps), which the walk then writes between its polls for interrupts.
  auto room = [&](std::uint64_t needed) {
    if (buffers.tokens.size() < needed) {
      buffers.tokens.clear();
      buffers.tokens.resize(needed);
    }
    return buffers.tokens.data();
  };
  auto here = [&](std::uint64_t tasks, const auto& work) {
    for (std::uint64_t task = 0; task < tasks; ++task) work(task, poll);
  };
  const Layout<decltype(room), decltype(here)> layout{buffers.ends.data(), room, false, here, 1, 0, most_padded_bytes};
  draw_numbered_into<Token>(kg, rules, request, layout);
}

template WalkTokens<std::uint32_t> draw_numbered_walks(const KG&, const WalkRules&, const WalkRequest&, std::uint64_t,
                                                       const InterruptPoll&, std::uint64_t);
template WalkTokens<std::uint64_t> draw_numbered_walks(const KG&, const WalkRules&, const WalkRequest&, std::uint64_t,
                                                       const InterruptPoll&, std::uint64_t);
template void draw_numbered_chunk(const KG&, const WalkRules&, const WalkRequest&, WalkBuffers<std::uint32_t>&,
                                  const InterruptPoll&, std::uint64_t);
template void draw_numbered_chunk(const KG&, const WalkRules&, const WalkRequest&, WalkBuffers<std::uint64_t>&,
                                  const InterruptPoll&, std::uint64_t);

}  // namespace vantrel
