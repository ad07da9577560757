// Leaving out repeated walks: a walk whose items equal those of an earlier
// walk of the same request is dropped, the first of each kept. What is
// remembered of a kept walk is its hash and an id by which the caller
// finds its items again, so that memory grows with the number of distinct
// walks (16 bytes each in a table at most three quarters full), not with
// their length.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "core/interrupt.hpp"
#include "walk/walk_rules.hpp"

namespace vantrel {

// A 64-bit hash of a walk's items (its length among them).
template <class Token>
std::uint64_t hash_walk(const Token* items, std::uint64_t count) {
  std::uint64_t hash = (count + 1) * 0x9E3779B97F4A7C15ull;
  for (std::uint64_t i = 0; i < count; ++i) {
    hash = (hash ^ items[i]) * 0xFF51AFD7ED558CCDull;
    hash ^= hash >> 32;
  }
  return hash;
}

// The hashes and ids of the distinct walks seen so far.
class DistinctWalks {
 public:
  // Whether a walk of hash `hash` repeats a walk seen before: same(id) is
  // asked, in the order they were added, of the walks seen with that hash.
  // A walk that repeats none is added as `id`. Throws std::bad_alloc.
  template <class Same>
  bool repeats(std::uint64_t hash, std::uint64_t id, Same&& same) {
    if (4 * (count_ + 1) > 3 * slots_.size()) grow();
    const std::uint64_t mask = slots_.size() - 1;
    for (std::uint64_t at = hash & mask;; at = (at + 1) & mask) {
      Slot& slot = slots_[at];
      if (slot.id == kEmpty) {
        slot = {hash, id};
        ++count_;
        return false;
      }
      if (slot.hash == hash && same(slot.id)) return true;
    }
  }

  std::uint64_t size() const { return count_; }

  // Makes room for `walks` distinct walks without growing on the way.
  // Throws std::bad_alloc.
  void reserve(std::uint64_t walks);

  // Starts loading the slot where a walk of hash `hash` is looked for
  // first, so that looking it up later waits less for memory.
  void prefetch(std::uint64_t hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
  }

 private:
  static constexpr std::uint64_t kEmpty = UINT64_MAX;
  struct Slot {
    std::uint64_t hash;
    std::uint64_t id = kEmpty;
  };
  void grow() { rehash(std::max<std::size_t>(64, 2 * slots_.size())); }
  void rehash(std::size_t slot_count);

  std::vector<Slot> slots_;
  std::uint64_t count_ = 0;
};

// The hashes of walks begin to end - 1 laid out by `ends` in `tokens`, into
// hashes[begin ..].
template <class Token>
void hash_walks(const Token* tokens, const std::uint64_t* ends, std::uint64_t begin, std::uint64_t end,
                std::uint64_t* hashes) {
  for (std::uint64_t k = begin; k < end; ++k) hashes[k] = hash_walk(tokens + ends[k], ends[k + 1] - ends[k]);
}

// Leaves out of walks 0 to count - 1 laid out by `ends` in `tokens`
// (hashes[k] walk k's hash) each walk that repeats one `seen` holds or one
// kept before it, moving the kept ones down in order (a walk never moves
// up, so it is read before anything is written over it); returns how many
// are kept. What the walks seen are is `earlier`'s: a walk is remembered as
// earlier.id(k, kept) (k its position, kept the walks kept before it),
// earlier.same(id, walk) says whether the walk remembered as `id` has the
// items of `walk`, and earlier.kept(k) hears of each walk kept. `poll` is
// called every kItemsPerPoll walks.
template <class Token, class Earlier>
std::uint64_t leave_out_repeats(DistinctWalks& seen, std::span<const std::uint64_t> hashes, Token* tokens,
                                std::uint64_t* ends, Earlier& earlier, const InterruptPoll& poll) {
  // How far ahead a walk's slot is asked for: enough walks to cover a miss.
  constexpr std::uint64_t kSlotsAhead = 16;
  std::uint64_t kept = 0;
  std::uint64_t walk_start = 0;  // where walk k began, before the walks before it moved
  for (std::uint64_t k = 0; k < hashes.size(); ++k) {
    if (k + kSlotsAhead < hashes.size()) seen.prefetch(hashes[k + kSlotsAhead]);
    const std::uint64_t from = walk_start;
    const std::uint64_t length = ends[k + 1] - from;
    walk_start = ends[k + 1];
    const std::span<const Token> walk(tokens + from, length);
    if (seen.repeats(hashes[k], earlier.id(k, kept), [&](std::uint64_t other) { return earlier.same(other, walk); })) {
      continue;
    }
    if (ends[kept] != from) {
      // Down, never up: a copy from the front reads each item before
      // anything is written over it. Walks are short, and a loop costs
      // less than a call here.
      Token* to = tokens + ends[kept];
      for (std::uint64_t i = 0; i < length; ++i) to[i] = walk[i];
    }
    ends[kept + 1] = ends[kept] + length;
    earlier.kept(k);
    ++kept;
    if (k % kItemsPerPoll == kItemsPerPoll - 1 && poll) poll();
  }
  return kept;
}

// Leaves out of `walks` (in place) every walk that repeats an earlier one,
// hashing on up to `threads` threads; the kept walks stay in order.
template <class Token>
void keep_distinct(WalkTokens<Token>& walks, unsigned threads, const InterruptPoll& poll);

extern template void keep_distinct(WalkTokens<std::uint32_t>&, unsigned, const InterruptPoll&);
extern template void keep_distinct(WalkTokens<std::uint64_t>&, unsigned, const InterruptPoll&);

}  // namespace vantrel
