// Searching an ordered array through a sample of every kSampleStride-th
// value: how a time index finds where a time or a running sum falls at a
// node of any degree, reading the samples (whose upper levels stay in
// cache) and then one stride, with the lines of each last few levels asked
// for at once.
#pragma once

#include <cstdint>

#include "graph/temporal_index.hpp"

namespace vantrel {

// The first of `count` items from `first` for which before(item) is false,
// `before` being true for a prefix of them: std::partition_point, but with
// no branch that depends on the items, which a bisection in cache would
// mispredict at half its levels.
template <class T, class Before>
const T* partition_without_branches(const T* first, std::uint64_t count, Before before) {
  if (count == 0) return first;
  while (count > 1) {
    const std::uint64_t half = count / 2;
    first += before(first[half]) ? half : 0;
    count -= half;
  }
  return first + (before(*first) ? 1 : 0);
}

// Asks for every cache line that [first, last] touches.
inline void prefetch_lines(const void* first, const void* last) {
  const auto end = reinterpret_cast<std::uintptr_t>(last);
  for (auto line = reinterpret_cast<std::uintptr_t>(first) & ~std::uintptr_t{63}; line <= end; line += 64) {
    __builtin_prefetch(reinterpret_cast<const void*>(line));
  }
}

// Narrows [from, to), a span of positions whose values *value(position)
// are ordered, to at most a stride holding the first position where
// before(value) is false (before() true for a prefix), among `samples`, the
// values at every kSampleStride-th position: over a long span a hub's
// bisection reads its samples (the upper levels kept in cache by the steps
// that come by) and then one stride. The last few levels of each bisection
// would be misses one after the other: their lines are asked for at once, a
// kSampleStride of values, the stride's too. A short span is left as it is.
template <class Value, class Address, class Before>
void narrow_by_samples(const Value* samples, std::uint64_t& from, std::uint64_t& to, Address value, Before before) {
  constexpr std::uint64_t kStride = Temporal::kSampleStride;
  if (to - from <= 4 * kStride) return;
  const std::uint64_t first_sample = (from + kStride - 1) / kStride;
  const std::uint64_t end_sample = (to + kStride - 1) / kStride;
  const Value* first = samples + first_sample;
  std::uint64_t count = end_sample - first_sample;
  while (count > kStride) {
    const std::uint64_t half = count / 2;
    first += before(first[half]) ? half : 0;
    count -= half;
  }
  prefetch_lines(first, first + count - 1);
  const auto found = static_cast<std::uint64_t>(partition_without_branches(first, count, before) - samples);
  // The answer is at most the first sample's position that is not
  // before(), and after the last one's that is.
  if (found < end_sample) to = found * kStride;
  if (found > first_sample) from = (found - 1) * kStride + 1;
  if (to > from) prefetch_lines(value(from), value(to - 1));
}

// The first of the positions [from, to) where before(*value(position)) is
// false, by bisection.
template <class Address, class Before>
std::uint64_t bisect(std::uint64_t from, std::uint64_t to, Address value, Before before) {
  std::uint64_t count = to - from;
  if (count == 0) return from;
  while (count > 1) {
    const std::uint64_t half = count / 2;
    from += before(*value(from + half)) ? half : 0;
    count -= half;
  }
  return from + (before(*value(from)) ? 1 : 0);
}

// The first of the positions [from, to) where before(*value(position)) is
// false, through the samples where the span is long.
template <class Value, class Address, class Before>
std::uint64_t first_sampled(const Value* samples, std::uint64_t from, std::uint64_t to, Address value, Before before) {
  narrow_by_samples(samples, from, to, value, before);
  return bisect(from, to, value, before);
}

}  // namespace vantrel
