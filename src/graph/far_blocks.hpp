// node2vec's index of a node's far blocks (the blocks at the other end of
// its candidates, each once, padded to its entry count): how it is laid out
// and how it is searched. A node of up to kCandidatesInCache candidates
// keeps a sorted list, searched by bisection. A hub's list would cost a
// miss a probe, so it is a search tree in Eytzinger's order: the tree's
// levels one after another, its first levels sharing a few cache lines that
// stay in cache, and four levels further down (three at 64-bit ids) lying
// on one line, which a search asks for ahead and may wait for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "graph/walker.hpp"

namespace vantrel {

// Whether a node of `size` candidates keeps its far blocks as a tree.
constexpr bool far_blocks_are_a_tree(std::uint64_t size) { return size > kCandidatesInCache; }

// Lays out `count` sorted values as a search tree in Eytzinger's order (slot
// k, from 1, has its children at 2k and 2k + 1), in place: `scratch` takes a
// copy of them.
template <class Id>
void to_eytzinger_order(Id* values, std::uint64_t count, std::vector<Id>& scratch) {
  scratch.assign(values, values + count);
  std::uint64_t next = 0;  // the next sorted value, as the tree is walked in order
  // In order: the left subtree, the slot, the right subtree; a stack of the
  // slots whose left subtree is done, as deep as the tree (at most 64).
  std::uint64_t pending[64];
  std::size_t depth = 0;
  std::uint64_t k = 1;
  while (k <= count || depth > 0) {
    if (k <= count) {
      pending[depth++] = k;
      k = 2 * k;
    } else {
      k = pending[--depth];
      values[k - 1] = scratch[next++];
      k = 2 * k + 1;
    }
  }
}

// Whether `far_block` is among the `size` sorted far blocks at `list`.
template <class Id>
bool in_sorted_far_blocks(const Id* list, std::uint64_t size, std::uint64_t far_block) {
  // A bisection without branches to mispredict (the padding sorts last):
  // `list` ends at the last slot not above far_block, if any is.
  for (std::uint64_t n = size; n > 1;) {
    const std::uint64_t half = n / 2;
    list = list[half] <= far_block ? list + half : list;
    n -= half;
  }
  return *list == far_block;
}

// What a search of a tree of far blocks found, or that it waits for memory.
enum class Found : std::uint8_t { kYes, kNo, kNotYet };

// Searches the tree of a hub's `size` far blocks for `far_block`, from its
// slot `slot` (from 1, the root). Where `may_wait`, past the levels that
// stay in cache and four more levels on this call, it stops at the next
// slot, asks for it, sets `slot` to it and returns kNotYet.
template <class Id>
Found search_far_block_tree(const Id* tree, std::uint64_t size, std::uint64_t far_block, std::uint64_t& slot,
                            bool may_wait) {
  // The slots of a tree's first levels, which a hub's searches keep in cache.
  constexpr std::uint64_t kSlotsInCache = 256;
  // Slot k (from 1) has its children at 2k and 2k + 1; its descendants four
  // levels down (three at 64-bit ids) fill the cache line asked for here.
  constexpr std::uint64_t kIdsPerLine = 64 / sizeof(Id);
  const std::uint64_t from = slot;
  std::uint64_t k = from;
  while (k <= size) {
    if (may_wait && k >= kSlotsInCache && k >= kIdsPerLine * from) {
      slot = k;
      __builtin_prefetch(tree + k - 1);
      return Found::kNotYet;
    }
    __builtin_prefetch(
        reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(tree) + (kIdsPerLine * k - 1) * sizeof(Id)));
    // Without a branch to mispredict.
    k = 2 * k + (tree[k - 1] < far_block ? 1 : 0);
  }
  // The last turn to the left, undone: the first slot not below far_block
  // (0 where there is none).
  k >>= __builtin_ffsll(static_cast<long long>(~k));
  return k != 0 && tree[k - 1] == far_block ? Found::kYes : Found::kNo;
}

// Whether `far_block` is among a node's `size` far blocks at `index`, as
// they are laid out, searched at once.
template <class Id>
bool in_far_blocks(const Id* index, std::uint64_t size, std::uint64_t far_block) {
  if (!far_blocks_are_a_tree(size)) return in_sorted_far_blocks(index, size, far_block);
  std::uint64_t root = 1;
  return search_far_block_tree(index, size, far_block, root, false) == Found::kYes;
}

// The far block a step that reaches a node of `size` candidates asks for,
// for the search the next step may make there: the middle of a sorted list,
// or a tree's root.
constexpr std::uint64_t first_far_block_read(std::uint64_t size) { return far_blocks_are_a_tree(size) ? 0 : size / 2; }

}  // namespace vantrel
