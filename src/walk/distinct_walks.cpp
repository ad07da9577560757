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
  std::vector<std::uint64_t> hashes(count);
  constexpr std::uint64_t kWalksPerTask = 1 << 14;
  run_tasks((count + kWalksPerTask - 1) / kWalksPerTask, threads,
            [&](std::uint64_t task, const InterruptPoll&) {
              hash_walks(tokens, ends, task * kWalksPerTask, std::min(count, (task + 1) * kWalksPerTask),
                         hashes.data());
            },
            poll);
  DistinctWalks seen;
  KeptInPlace<Token> earlier{tokens, ends};
  const std::uint64_t kept =
      leave_out_repeats(seen, std::span<const std::uint64_t>(hashes), tokens, ends, earlier, poll);
  walks.tokens.shrink(ends[kept]);
  walks.offsets.shrink(kept + 1);
}

template void keep_distinct(WalkTokens<std::uint32_t>&, unsigned, const InterruptPoll&);
template void keep_distinct(WalkTokens<std::uint64_t>&, unsigned, const InterruptPoll&);

}  // namespace vantrel
