#include "walk/distinct_walks.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

#include "core/parallel.hpp"

namespace vantrel {

void DistinctWalks::reserve(std::uint64_t walks) {
  std::size_t slot_count = 64;
  while (4 * walks > 3 * slot_count) slot_count *= 2;
  if (slot_count > slots_.size()) rehash(slot_count);
}

void DistinctWalks::rehash(std::size_t slot_count) {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(slot_count, Slot{});
  const std::uint64_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.id == kEmpty) continue;
    std::uint64_t at = slot.hash & mask;
    while (slots_[at].id != kEmpty) at = (at + 1) & mask;
    slots_[at] = slot;
  }
}

namespace {

// The walks kept so far, in place: a walk is remembered by its rank among
// them, which is where it now lies.
template <class Token>
struct KeptInPlace {
  const Token* tokens;
  const std::uint64_t* ends;
  std::uint64_t id(std::uint64_t, std::uint64_t kept) const { return kept; }
  bool same(std::uint64_t other, std::span<const Token> walk) const {
    return ends[other + 1] - ends[other] == walk.size() && std::equal(walk.begin(), walk.end(), tokens + ends[other]);
  }
  void kept(std::uint64_t) const {}
};

}  // namespace

template <class Token>
void keep_distinct(WalkTokens<Token>& walks, unsigned threads, const InterruptPoll& poll) {
  const std::uint64_t count = walks.offsets.size() - 1;
  Token* tokens = walks.tokens.mutable_data();
  std::uint64_t* ends = walks.offsets.mutable_data();
  const auto hashes = std::make_unique_for_overwrite<std::uint64_t[]>(count);
  constexpr std::uint64_t kWalksPerTask = 1 << 14;
  run_tasks((count + kWalksPerTask - 1) / kWalksPerTask, threads,
            [&](std::uint64_t task, const InterruptPoll&) {
              hash_walks(tokens, ends, task * kWalksPerTask, std::min(count, (task + 1) * kWalksPerTask), hashes.get());
            },
            poll);
  DistinctWalks seen;
  // Room for every walk where the table's slots (16 bytes, at most 3/4 full)
  // would take about the walks' own items' bytes, at most twice that once
  // rounded to a power of two: the table then never grows on the way. A
  // call of mostly repeats starts smaller and grows as distinct walks come.
  seen.reserve(std::min<std::uint64_t>(count, ends[count] * sizeof(Token) * 3 / (4 * 16)));
  KeptInPlace<Token> earlier{tokens, ends};
  const std::uint64_t kept =
      leave_out_repeats(seen, std::span<const std::uint64_t>(hashes.get(), count), tokens, ends, earlier, poll);
  walks.tokens.shrink(ends[kept]);
  walks.offsets.shrink(kept + 1);
}

template void keep_distinct(WalkTokens<std::uint32_t>&, unsigned, const InterruptPoll&);
template void keep_distinct(WalkTokens<std::uint64_t>&, unsigned, const InterruptPoll&);

}  // namespace vantrel
