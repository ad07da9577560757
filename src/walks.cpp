#include "walks.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "parallel.hpp"

namespace vantrel {

namespace {

// Walks by number are handed to threads in chunks of this many.
constexpr std::uint64_t kChunkWalks = 4096;
static_assert(kChunkWalks % kStreamLanes == 0);

// The sampler's own walks call the poll between walks this often.
constexpr std::uint64_t kWalksPerPoll = 4096;

std::uint64_t physical_memory_bytes() {
  static const std::uint64_t bytes =
      static_cast<std::uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  return bytes;
}

// a + b, or std::bad_alloc when the sum of sizes overflows.
std::uint64_t add_sizes(std::uint64_t a, std::uint64_t b) {
  if (b > UINT64_MAX - a) throw std::bad_alloc();
  return a + b;
}

}  // namespace

void ensure_fits_in_memory(std::uint64_t elements, std::uint64_t bytes_each) {
  if (bytes_each != 0 && elements >= physical_memory_bytes() / bytes_each) throw std::bad_alloc();
}

WalkTokens<std::uint64_t> draw_stream_walks(const KG& kg, const WalkRules& rules, StdRng& rng,
                                            std::uint64_t count, std::uint64_t bytes_per_token,
                                            const InterruptPoll& poll) {
  ensure_fits_in_memory(add_sizes(count, 1), sizeof(std::uint64_t));
  auto offsets = ArrayRegion<std::uint64_t>::allocate(count + 1);
  std::uint64_t* const ends = offsets.mutable_data();
  ends[0] = 0;
  std::vector<std::uint64_t> tokens;
  kg.visit([&](const auto& graph) {
    for (std::uint64_t k = 0; k < count; ++k) {
      if (k % kWalksPerPoll == kWalksPerPoll - 1 && poll) poll();
      const std::uint64_t path_len = path_len_from_draw(rules.poisson.sample(rng), rules.max_path_len);
      const std::uint64_t start = graph.draw_start(rng);
      const std::uint64_t end = add_sizes(ends[k], add_sizes(path_len, 2));
      ensure_fits_in_memory(end, sizeof(std::uint64_t) + bytes_per_token);
      tokens.resize(end);
      graph.walk(start, path_len, rng, tokens.data() + ends[k], poll);
      ends[k + 1] = end;
    }
  });
  return {ArrayRegion<std::uint64_t>::adopt(std::move(tokens)), std::move(offsets)};
}

template <class Token>
WalkTokens<Token> draw_numbered_walks(const KG& kg, const WalkRules& rules, std::uint64_t first,
                                      std::uint64_t stop, StartRule start, unsigned threads,
                                      std::uint64_t bytes_per_token, const InterruptPoll& poll) {
  const std::uint64_t count = stop - first;
  if (count > 0 && kg.node_count() == 0) throw EmptyRangeError();
  // Offsets, then each walk's number of length draws, 4 bytes a walk.
  ensure_fits_in_memory(add_sizes(count, 1), sizeof(std::uint64_t) + sizeof(std::uint32_t));
  auto offsets = ArrayRegion<std::uint64_t>::allocate(count + 1);
  std::uint64_t* const ends = offsets.mutable_data();
  ends[0] = 0;
  if (count == 0) return {ArrayRegion<Token>::allocate(0), std::move(offsets)};
  auto length_draws = ArrayRegion<std::uint32_t>::allocate(count);
  std::uint32_t* const draws = length_draws.mutable_data();
  const std::uint64_t tasks = (count + kChunkWalks - 1) / kChunkWalks;

  // Each walk's length: its stream's first draws, one keystream block for
  // kStreamLanes walks at a time. ends[k + 1] holds walk k's token count.
  run_tasks(tasks, threads, [&](std::uint64_t task, const InterruptPoll&) {
    std::uint32_t blocks[kStreamLanes * StdRng::kBlockWords];
    const std::uint64_t chunk_end = std::min(count, (task + 1) * kChunkWalks);
    for (std::uint64_t group = task * kChunkWalks; group < chunk_end; group += kStreamLanes) {
      const std::uint64_t first_stream = first + group + 1;
      chacha20_stream_blocks(rules.key, 0, first_stream, blocks);
      for (std::uint64_t lane = 0; lane < kStreamLanes && group + lane < chunk_end; ++lane) {
        StdRng rng = StdRng::from_first_blocks(rules.key, first_stream + lane, blocks + lane * StdRng::kBlockWords, 1);
        const std::uint64_t path_len = path_len_from_draw(rules.poisson.sample(rng), rules.max_path_len);
        const std::uint64_t k = group + lane;
        ends[k + 1] = path_len >= UINT64_MAX - 2 ? UINT64_MAX : path_len + 2;
        if (rng.draws_made() > UINT32_MAX) throw std::bad_alloc();  // lengths of no realistic mean
        draws[k] = static_cast<std::uint32_t>(rng.draws_made());
      }
    }
  }, poll);

  for (std::uint64_t k = 0; k < count; ++k) ends[k + 1] = add_sizes(ends[k], ends[k + 1]);
  ensure_fits_in_memory(ends[count], sizeof(Token) + bytes_per_token);
  auto token_region = ArrayRegion<Token>::allocate(ends[count]);
  Token* const tokens = token_region.mutable_data();

  // The walks, in place: each stream again from its first two blocks, past
  // its length draws.
  kg.visit([&](const auto& graph) {
    const std::uint64_t node_count = graph.node_count();
    run_tasks(tasks, threads, [&](std::uint64_t task, const InterruptPoll& task_poll) {
      constexpr std::size_t kLaneWords = kStreamLanes * StdRng::kBlockWords;
      std::uint32_t blocks[2][kLaneWords];
      std::uint32_t first_two[2 * StdRng::kBlockWords];
      const std::uint64_t chunk_end = std::min(count, (task + 1) * kChunkWalks);
      for (std::uint64_t group = task * kChunkWalks; group < chunk_end; group += kStreamLanes) {
        const std::uint64_t first_stream = first + group + 1;
        chacha20_stream_blocks(rules.key, 0, first_stream, blocks[0]);
        chacha20_stream_blocks(rules.key, 1, first_stream, blocks[1]);
        for (std::uint64_t lane = 0; lane < kStreamLanes && group + lane < chunk_end; ++lane) {
          const std::uint64_t k = group + lane;
          std::memcpy(first_two, blocks[0] + lane * StdRng::kBlockWords, sizeof first_two / 2);
          std::memcpy(first_two + StdRng::kBlockWords, blocks[1] + lane * StdRng::kBlockWords, sizeof first_two / 2);
          StdRng rng = StdRng::from_first_blocks(rules.key, first_stream + lane, first_two, 2);
          for (std::uint32_t d = 0; d < draws[k]; ++d) rng.next_u64();
          const std::uint64_t begin = ends[k];
          const std::uint64_t path_len = ends[k + 1] - begin - 2;
          const std::uint64_t start_node =
              start == StartRule::kEachNode ? (first + k) % node_count : graph.draw_start(rng);
          graph.walk(start_node, path_len, rng, tokens + begin, task_poll);
        }
      }
    }, poll);
  });
  return {std::move(token_region), std::move(offsets)};
}

template WalkTokens<std::uint32_t> draw_numbered_walks(const KG&, const WalkRules&, std::uint64_t, std::uint64_t,
                                                       StartRule, unsigned, std::uint64_t, const InterruptPoll&);
template WalkTokens<std::uint64_t> draw_numbered_walks(const KG&, const WalkRules&, std::uint64_t, std::uint64_t,
                                                       StartRule, unsigned, std::uint64_t, const InterruptPoll&);

}  // namespace vantrel
