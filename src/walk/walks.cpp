#include "walk/walks.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
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

// Walks by number are handed to threads in chunks of this many.
constexpr std::uint64_t kChunkWalks = 4096;
static_assert(kChunkWalks % kStreamLanes == 0);

// a + b, or std::bad_alloc when the sum of sizes overflows.
std::uint64_t add_sizes(std::uint64_t a, std::uint64_t b) {
  if (b > UINT64_MAX - a) throw std::bad_alloc();
  return a + b;
}

// How much longer than the expected walk a padded slot may be.
constexpr double kMostPaddedWaste = 3.0;

// Draws the lengths of walks begin to end - 1 of a request starting at
// number `first`: ends[k + 1] = walk k's token count in form `items`,
// draws[k] = the number of draws its length took.
void draw_lengths(const WalkRules& rules, Items items, std::uint64_t first, std::uint64_t begin, std::uint64_t end,
                  std::uint64_t* ends, std::uint32_t* draws) {
  for_each_walk_length(rules, first, begin, end, [&](std::uint64_t k, std::uint64_t path_len, const StdRng& rng) {
    ends[k + 1] = item_count(items, path_len);
    if (rng.draws_made() > UINT32_MAX) throw std::bad_alloc();  // lengths of no realistic mean
    draws[k] = static_cast<std::uint32_t>(rng.draws_made());
  });
}

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

// The token count of each of `count` walks laid out at `ends`.
std::vector<std::uint64_t> counts_of(const std::uint64_t* ends, std::uint64_t count) {
  std::vector<std::uint64_t> counts(count);
  for (std::uint64_t k = 0; k < count; ++k) counts[k] = ends[k + 1] - ends[k];
  return counts;
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
// (`draws` holding each walk's length draws). On a restricted graph, where
// a walk may end early, the walks are then moved together. Returns the
// tokens in all.
template <class Token, class DrawWalks>
std::uint64_t draw_in_place(const KG& kg, Token* tokens, std::uint64_t* ends, const std::uint32_t* draws,
                            std::uint64_t count, DrawWalks&& draw_walks) {
  std::vector<std::uint64_t> counts;
  if (kg.may_end_early()) counts = counts_of(ends, count);
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
std::uint64_t draw_in_fresh_slots(std::uint64_t count, std::uint64_t tasks, std::uint64_t stride, std::uint64_t* ends,
                                  Room&& room, ForEachWalkChunk&& for_each_walk_chunk) {
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
    const std::uint64_t chunk = task * kChunkWalks * stride;
    if (placed != chunk) std::memmove(tokens + placed, tokens + chunk, chunk_tokens[task] * sizeof(Token));
    placed += chunk_tokens[task];
  }
  for (std::uint64_t k = 0; k < count; ++k) ends[k + 1] += ends[k];
  return ends[count];
}

// Every walk's length first (on the threads of for_each_chunk), so that the
// room is allocated exactly; then the walks in place, with draw_walks, each
// stream again from its first blocks, past its length draws. Returns the
// tokens in all.
template <class Token, class Room, class ForEachChunk, class DrawWalks>
std::uint64_t draw_lengths_first(const KG& kg, const WalkRules& rules, std::uint64_t first, std::uint64_t count,
                                 std::uint64_t tasks, Items items, std::uint64_t bytes_per_token, std::uint64_t* ends,
                                 Room&& room, ForEachChunk&& for_each_chunk, DrawWalks&& draw_walks) {
  // ends[k + 1] holds walk k's token count.
  ensure_fits_in_memory(count, sizeof(std::uint64_t) + sizeof(std::uint32_t));
  auto length_draws = ArrayRegion<std::uint32_t>::allocate(count);
  std::uint32_t* const draws = length_draws.mutable_data();
  for_each_chunk(tasks, [&](std::uint64_t task, const InterruptPoll&) {
    draw_lengths(rules, items, first, task * kChunkWalks, std::min(count, (task + 1) * kChunkWalks), ends, draws);
  });
  for (std::uint64_t k = 0; k < count; ++k) ends[k + 1] = add_sizes(ends[k], ends[k + 1]);
  ensure_fits_in_memory(ends[count], sizeof(Token) + bytes_per_token);
  return draw_in_place(kg, room(ends[count]), ends, draws, count, draw_walks);
}

// Draws walks numbered first to first + count - 1 (count > 0) into the
// tokens that room(n) gives room for, back to back: walk k is
// tokens[ends[k] .. ends[k + 1]), ends[0] being 0. The layout is the one
// choice of in_padded_slots: in one pass into padded slots of the longest
// walk, then moved together; or every walk's length first, then the walks
// in place. for_each_chunk(tasks, work) runs work(task, poll) for each
// chunk of kChunkWalks walks, on the threads the caller has. `fresh_room`
// says whether room(n) gives memory never written (pages the kernel zeroes
// on first touch) or memory written before. Returns the tokens in all.
template <class Token, class Room, class ForEachChunk>
std::uint64_t draw_numbered_into(const KG& kg, const WalkRules& rules, std::uint64_t first, std::uint64_t count,
                                 StartRule start, Items items, std::uint64_t bytes_per_token,
                                 std::uint64_t most_padded_bytes, std::uint64_t* ends, Room&& room, bool fresh_room,
                                 ForEachChunk&& for_each_chunk) {
  const std::uint64_t tasks = (count + kChunkWalks - 1) / kChunkWalks;
  // Calls work(task, begin, end, draw) for each chunk of walks begin to end
  // - 1, where draw(output) draws them into `output`.
  auto for_each_walk_chunk = [&](const auto& work) {
    with_items(items, [&]<Items kItems>() {
      visit_walker(kg, [&](const auto& graph) {
        for_each_chunk(tasks, [&](std::uint64_t task, const InterruptPoll& task_poll) {
          const std::uint64_t begin = task * kChunkWalks;
          const std::uint64_t end = std::min(count, begin + kChunkWalks);
          work(task, begin, end, [&](const NumberedOutput<Token>& output) {
            InterleavedWalks<std::decay_t<decltype(graph)>, Token, kItems> walker(graph, rules, output, first, start,
                                                                                  task_poll);
            walker.run(begin, end);
          });
        });
      });
    });
  };
  auto draw_walks = [&](const NumberedOutput<Token>& output) {
    for_each_walk_chunk([&](std::uint64_t, std::uint64_t, std::uint64_t, const auto& draw) { draw(output); });
  };
  if (!in_padded_slots(rules, items, count, sizeof(Token) + bytes_per_token, most_padded_bytes)) {
    return draw_lengths_first<Token>(kg, rules, first, count, tasks, items, bytes_per_token, ends, room, for_each_chunk,
                                     draw_walks);
  }
  const std::uint64_t stride = item_count(items, longest_path_len(rules));
  return fresh_room ? draw_in_fresh_slots<Token>(count, tasks, stride, ends, room, for_each_walk_chunk)
                    : draw_in_reused_slots<Token>(count, stride, ends, room, draw_walks);
}

}  // namespace

template <class Token>
WalkTokens<Token> draw_stream_walks(const KG& kg, const WalkRules& rules, StdRng& rng, std::uint64_t count,
                                    std::uint64_t bytes_per_token, const InterruptPoll& poll) {
  ensure_fits_in_memory(add_sizes(count, 1), sizeof(std::uint64_t));
  auto offsets = ArrayRegion<std::uint64_t>::allocate(count + 1);
  std::uint64_t* const ends = offsets.mutable_data();
  ends[0] = 0;
  // The most tokens that memory could hold, checked as each walk's length is known.
  const std::uint64_t most_tokens = physical_memory_bytes() / (sizeof(Token) + bytes_per_token);
  std::vector<Token> tokens;
  const double expected = expected_items(rules, Items::kPath);
  if (expected * static_cast<double>(count) < static_cast<double>(most_tokens) / 4) {
    tokens.reserve(static_cast<std::size_t>(expected * static_cast<double>(count)));
  }
  // One meter across the walks: short walks add up to a poll as a long one does.
  PollingMeter meter(poll);
  visit_walker(kg, [&](const auto& graph) {
    for (std::uint64_t k = 0; k < count; ++k) {
      meter.add(1);
      const std::uint64_t path_len = draw_path_len(rules, rng);
      const std::uint64_t start = graph.draw_start(rng);
      const std::uint64_t end = add_sizes(ends[k], add_sizes(path_len, 2));
      if (end >= most_tokens) throw std::bad_alloc();
      tokens.resize(end);
      ends[k + 1] = ends[k] + walk_from(graph, start, path_len, rng, tokens.data() + ends[k], meter);
    }
  });
  tokens.resize(ends[count]);  // walks that ended early (restricted graphs) leave room at the end
  return {ArrayRegion<Token>::adopt(std::move(tokens)), std::move(offsets)};
}

template WalkTokens<std::uint32_t> draw_stream_walks(const KG&, const WalkRules&, StdRng&, std::uint64_t, std::uint64_t,
                                                     const InterruptPoll&);
template WalkTokens<std::uint64_t> draw_stream_walks(const KG&, const WalkRules&, StdRng&, std::uint64_t, std::uint64_t,
                                                     const InterruptPoll&);

// The most tokens a chunk of routes reserves room for ahead.
constexpr std::uint64_t kMostReservedTokens = std::uint64_t{1} << 24;

// Throws std::bad_alloc, before any walk is drawn, where the routes of
// walks first to first + count - 1 could not fit in memory with
// `bytes_per_item` for each item: walks of the longest length first, and
// where those would not fit, the lengths drawn, a chunk a task.
void refuse_routes_past_memory(const WalkRules& rules, Items items, std::uint64_t first, std::uint64_t count,
                               std::uint64_t tasks, unsigned threads, std::uint64_t bytes_per_item,
                               const InterruptPoll& poll) {
  const std::uint64_t in_flight = std::min<std::uint64_t>(count, kRoutesInFlight * std::max(threads, 1u));
  if (routes_fit(longest_route_sizes(rules, items, count), bytes_per_item, in_flight)) return;
  std::vector<RouteSizes> sizes(tasks);
  run_tasks(
      tasks, threads,
      [&](std::uint64_t task, const InterruptPoll&) {
        const std::uint64_t begin = task * kChunkWalks;
        sizes[task] = drawn_route_sizes(rules, items, first + begin, std::min(kChunkWalks, count - begin));
      },
      poll);
  RouteSizes total;
  for (const RouteSizes& chunk : sizes) total = total + chunk;
  if (!routes_fit(total, bytes_per_item, in_flight)) throw std::bad_alloc();
}

// Walks by number drawn as routes (walk/routes), kChunkWalks a task on up
// to `threads` threads, each chunk into buffers of its own, then joined.
template <class Token>
WalkTokens<Token> draw_numbered_routes(const KG& kg, const WalkRules& rules, std::uint64_t first, std::uint64_t count,
                                       StartRule start, Items items, const WalkKind& kind, unsigned threads,
                                       std::uint64_t bytes_per_token, const InterruptPoll& poll) {
  const std::uint64_t tasks = (count + kChunkWalks - 1) / kChunkWalks;
  refuse_routes_past_memory(rules, items, first, count, tasks, threads, sizeof(Token) + bytes_per_token, poll);
  struct Chunk {
    std::vector<Token> tokens;
    std::vector<std::uint64_t> ends;
  };
  std::vector<Chunk> chunks(tasks);
  run_tasks(
      tasks, threads,
      [&](std::uint64_t task, const InterruptPoll& task_poll) {
        const std::uint64_t begin = first + task * kChunkWalks;
        const std::uint64_t end = begin + std::min(kChunkWalks, count - task * kChunkWalks);
        // Room for the walks' expected items and a quarter more, so that
        // the buffer seldom grows (and copies) as they come.
        const double expected = static_cast<double>(end - begin) * expected_items(rules, items) * 1.25;
        if (expected < static_cast<double>(kMostReservedTokens)) {
          chunks[task].tokens.reserve(static_cast<std::size_t>(expected));
        }
        chunks[task].ends.reserve(end - begin);
        draw_routes(kg, rules, begin, end, start, items, kind, chunks[task].tokens, chunks[task].ends, task_poll);
      },
      poll);
  std::uint64_t total = 0;
  for (const Chunk& chunk : chunks) total = add_sizes(total, chunk.tokens.size());
  ensure_fits_in_memory(total, sizeof(Token) + bytes_per_token);
  auto tokens = ArrayRegion<Token>::allocate(total, Pages::kSmall);
  auto offsets = ArrayRegion<std::uint64_t>::allocate(count + 1);
  std::uint64_t* ends = offsets.mutable_data();
  ends[0] = 0;
  std::uint64_t placed = 0;
  std::uint64_t walk = 0;
  for (Chunk& chunk : chunks) {
    std::copy(chunk.tokens.begin(), chunk.tokens.end(), tokens.mutable_data() + placed);
    for (const std::uint64_t end : chunk.ends) ends[++walk] = placed + end;
    placed += chunk.tokens.size();
    chunk = Chunk{};
  }
  return {std::move(tokens), std::move(offsets)};
}

template <class Token>
WalkTokens<Token> draw_numbered_walks(const KG& kg, const WalkRules& rules, std::uint64_t first, std::uint64_t stop,
                                      StartRule start, unsigned threads, std::uint64_t bytes_per_token,
                                      const InterruptPoll& poll, Items items, std::uint64_t most_padded_bytes,
                                      const WalkKind& kind) {
  const std::uint64_t count = stop - first;
  check_walkable(kg, count);
  if (count > 0 && kind.drawn_as_routes(items)) {
    WalkTokens<Token> walks =
        draw_numbered_routes<Token>(kg, rules, first, count, start, items, kind, threads, bytes_per_token, poll);
    if (kind.unique) keep_distinct(walks, threads, poll);
    return walks;
  }
  ensure_fits_in_memory(add_sizes(count, 1), sizeof(std::uint64_t));
  auto offsets = ArrayRegion<std::uint64_t>::allocate(count + 1);
  std::uint64_t* const ends = offsets.mutable_data();
  ends[0] = 0;
  if (count == 0) return {ArrayRegion<Token>::allocate(0), std::move(offsets)};
  ArrayRegion<Token> token_region;
  auto room = [&](std::uint64_t tokens) {
    token_region = ArrayRegion<Token>::allocate(tokens, Pages::kSmall);
    return token_region.mutable_data();
  };
  auto on_threads = [&](std::uint64_t tasks, const auto& work) { run_tasks(tasks, threads, work, poll); };
  token_region.shrink(draw_numbered_into<Token>(kg, rules, first, count, start, items, bytes_per_token,
                                                most_padded_bytes, ends, room, true, on_threads));
  WalkTokens<Token> walks{std::move(token_region), std::move(offsets)};
  if (kind.unique) keep_distinct(walks, threads, poll);
  return walks;
}

template <class Token>
void draw_numbered_chunk(const KG& kg, const WalkRules& rules, std::uint64_t first, std::uint64_t stop, StartRule start,
                         std::vector<Token>& tokens, std::vector<std::uint64_t>& ends, const InterruptPoll& poll,
                         Items items, std::uint64_t most_padded_bytes, const WalkKind& kind) {
  const std::uint64_t count = stop - first;
  check_walkable(kg, count);
  if (kind.drawn_as_routes(items)) {
    tokens.clear();
    ends.assign(1, 0);
    draw_routes(kg, rules, first, stop, start, items, kind, tokens, ends, poll);
    return;
  }
  ends.resize(count + 1);
  ends[0] = 0;
  if (count == 0) return;
  // The vector only grows, so that a thread's buffer settles at its size.
  auto room = [&](std::uint64_t needed) {
    if (tokens.size() < needed) tokens.resize(needed);
    return tokens.data();
  };
  auto here = [&](std::uint64_t tasks, const auto& work) {
    for (std::uint64_t task = 0; task < tasks; ++task) work(task, poll);
  };
  draw_numbered_into<Token>(kg, rules, first, count, start, items, 0, most_padded_bytes, ends.data(), room, false,
                            here);
}

template void draw_numbered_chunk(const KG&, const WalkRules&, std::uint64_t, std::uint64_t, StartRule,
                                  std::vector<std::uint32_t>&, std::vector<std::uint64_t>&, const InterruptPoll&, Items,
                                  std::uint64_t, const WalkKind&);
template void draw_numbered_chunk(const KG&, const WalkRules&, std::uint64_t, std::uint64_t, StartRule,
                                  std::vector<std::uint64_t>&, std::vector<std::uint64_t>&, const InterruptPoll&, Items,
                                  std::uint64_t, const WalkKind&);

template WalkTokens<std::uint32_t> draw_numbered_walks(const KG&, const WalkRules&, std::uint64_t, std::uint64_t,
                                                       StartRule, unsigned, std::uint64_t, const InterruptPoll&, Items,
                                                       std::uint64_t, const WalkKind&);
template WalkTokens<std::uint64_t> draw_numbered_walks(const KG&, const WalkRules&, std::uint64_t, std::uint64_t,
                                                       StartRule, unsigned, std::uint64_t, const InterruptPoll&, Items,
                                                       std::uint64_t, const WalkKind&);

}  // namespace vantrel
