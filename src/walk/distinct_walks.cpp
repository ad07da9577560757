#include "walk/distinct_walks.hpp"

#include <algorithm>
#include <cstring>

#include "core/parallel.hpp"

namespace vantrel {

void DistinctWalks::grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(std::max<std::size_t>(64, 2 * old.size()), Slot{});
  const std::uint64_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.id == kEmpty) continue;
    std::uint64_t at = slot.hash & mask;
    while (slots_[at].id != kEmpty) at = (at + 1) & mask;
    slots_[at] = slot;
  }
}

template <class Token>
void keep_distinct(WalkTokens<Token>& walks, unsigned threads, const InterruptPoll& poll) {
  const std::uint64_t count = walks.offsets.size() - 1;
  Token* tokens = walks.tokens.mutable_data();
  std::uint64_t* ends = walks.offsets.mutable_data();
  std::vector<std::uint64_t> hashes(count);
  constexpr std::uint64_t kWalksPerTask = 1 << 14;
  run_tasks((count + kWalksPerTask - 1) / kWalksPerTask, threads,
            [&](std::uint64_t task, const InterruptPoll&) {
              const std::uint64_t end = std::min(count, (task + 1) * kWalksPerTask);
              for (std::uint64_t k = task * kWalksPerTask; k < end; ++k) {
                hashes[k] = hash_walk(tokens + ends[k], ends[k + 1] - ends[k]);
              }
            },
            poll);
  // In order: each kept walk moves down to the end of those kept before it
  // (never up, so that a walk is read before anything is written over it).
  DistinctWalks seen;
  std::uint64_t kept = 0;
  std::uint64_t walk_start = 0;  // where walk k began, before the walks before it moved
  for (std::uint64_t k = 0; k < count; ++k) {
    const std::uint64_t begin = walk_start;
    const std::uint64_t length = ends[k + 1] - begin;
    walk_start = ends[k + 1];
    const Token* walk = tokens + begin;
    const bool repeated = seen.repeats(hashes[k], kept, [&](std::uint64_t other) {
      const std::uint64_t other_length = ends[other + 1] - ends[other];
      return other_length == length && std::equal(walk, walk + length, tokens + ends[other]);
    });
    if (repeated) continue;
    if (ends[kept] != begin) std::memmove(tokens + ends[kept], walk, length * sizeof(Token));
    ends[kept + 1] = ends[kept] + length;
    ++kept;
    if (k % kItemsPerPoll == 0 && poll) poll();
  }
  walks.tokens.shrink(ends[kept]);
  walks.offsets.shrink(kept + 1);
}

template void keep_distinct(WalkTokens<std::uint32_t>&, unsigned, const InterruptPoll&);
template void keep_distinct(WalkTokens<std::uint64_t>&, unsigned, const InterruptPoll&);

}  // namespace vantrel
