// Leaving out repeated walks: a walk whose items equal those of an earlier
// walk of the same request is dropped, the first of each kept. What is
// remembered of a kept walk is its hash and an id by which the caller
// finds its items again, so that memory grows with the number of distinct
// walks (16 bytes each in a table at most three quarters full), not with
// their length.
#pragma once

#include <cstdint>
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

 private:
  static constexpr std::uint64_t kEmpty = UINT64_MAX;
  struct Slot {
    std::uint64_t hash;
    std::uint64_t id = kEmpty;
  };
  void grow();

  std::vector<Slot> slots_;
  std::uint64_t count_ = 0;
};

// Leaves out of `walks` (in place) every walk that repeats an earlier one,
// hashing on up to `threads` threads; the kept walks stay in order.
template <class Token>
void keep_distinct(WalkTokens<Token>& walks, unsigned threads, const InterruptPoll& poll);

extern template void keep_distinct(WalkTokens<std::uint32_t>&, unsigned, const InterruptPoll&);
extern template void keep_distinct(WalkTokens<std::uint64_t>&, unsigned, const InterruptPoll&);

}  // namespace vantrel
