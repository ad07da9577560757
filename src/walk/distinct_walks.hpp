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

// Leaves out of a drawn chunk, walks begin to begin + count - 1 laid out
// by `ends` in `tokens`, each walk that repeats one of an earlier number,
// moving the kept ones down; returns how many are kept. A walk of an
// earlier chunk is drawn again (redraw(number) gives its items) to be compared.
template <class Token, class Redraw>
std::uint64_t leave_out_repeats(DistinctWalks& seen, std::uint64_t begin, std::uint64_t count,
                                const std::vector<std::uint64_t>& hashes, std::vector<Token>& tokens,
                                std::vector<std::uint64_t>& ends, Redraw&& redraw) {
  std::uint64_t kept = 0;
  std::uint64_t walk_start = 0;
  // Kept walks of this chunk by number, to compare with in place.
  std::vector<std::uint64_t> kept_numbers;
  for (std::uint64_t k = 0; k < count; ++k) {
    const std::uint64_t from = walk_start;
    const std::uint64_t length = ends[k + 1] - from;
    walk_start = ends[k + 1];
    const Token* walk = tokens.data() + from;
    const bool repeated = seen.repeats(hashes[k], begin + k, [&](std::uint64_t other) {
      if (other >= begin) {
        const auto at = std::lower_bound(kept_numbers.begin(), kept_numbers.end(), other);
        const auto i = static_cast<std::uint64_t>(at - kept_numbers.begin());
        return ends[i + 1] - ends[i] == length && std::equal(walk, walk + length, tokens.data() + ends[i]);
      }
      const std::span<const Token> earlier = redraw(other);
      return earlier.size() == length && std::equal(walk, walk + length, earlier.begin());
    });
    if (repeated) continue;
    if (ends[kept] != from) std::memmove(tokens.data() + ends[kept], walk, length * sizeof(Token));
    ends[kept + 1] = ends[kept] + length;
    kept_numbers.push_back(begin + k);
    ++kept;
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
