// A pick in proportion to weight, by running sums with checkpoints. The
// weights w of a graph's entries (numbered across the graph,
// graph/layout.hpp) are added in order from each node's first entry; at
// every entry j * kCheckpointEntries strictly inside a node's entries, the
// running sum of that node before it is kept, so that a node's total and
// the entry where a running sum passes a value are found with a search
// among its checkpoints and a scan of at most kCheckpointEntries weights.
// graph/bias lays the checkpoints out; the biased step picks with them.
#pragma once

#include <cstdint>

namespace vantrel {

// Entries between two checkpoints of the running sums.
inline constexpr std::uint64_t kCheckpointEntries = 64;

// The running sum of the weights of the `degree` entries from entry `first`
// (a node's candidates): their sum, added in order.
inline double total_weight(const double* w, const double* checkpoints, std::uint64_t first, std::uint64_t degree) {
  const std::uint64_t last = first + degree - 1;
  // From the last checkpoint within the node, if there is one.
  const std::uint64_t boundary = last / kCheckpointEntries * kCheckpointEntries;
  std::uint64_t entry = first;
  double sum = 0.0;
  if (boundary > first) {
    entry = boundary;
    sum = checkpoints[boundary / kCheckpointEntries];
  }
  for (; entry <= last; ++entry) sum = sum + w[entry];
  return sum;
}

// Of the `degree` entries from entry `first`, the first whose running sum
// is above `x`, or (where rounding leaves none) the last of positive weight;
// as its position among them.
inline std::uint64_t pick_weighted(const double* w, const double* checkpoints, std::uint64_t first,
                                   std::uint64_t degree, double x) {
  const std::uint64_t end = first + degree;
  // The node's checkpoints are at the boundaries first < j * B < end; the
  // running sums only grow, so the last checkpoint not above x is where the
  // first running sum above x can begin.
  std::uint64_t low = first / kCheckpointEntries + 1;
  std::uint64_t high = (end - 1) / kCheckpointEntries + 1;  // past the last
  std::uint64_t entry = first;
  double sum = 0.0;
  while (low < high) {
    const std::uint64_t middle = low + (high - low) / 2;
    if (checkpoints[middle] <= x) {
      entry = middle * kCheckpointEntries;
      sum = checkpoints[middle];
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  for (; entry < end; ++entry) {
    sum = sum + w[entry];
    if (x < sum) return entry - first;
  }
  // Rounding left x at the total: the last candidate of positive weight.
  std::uint64_t last = end - 1;
  while (!(w[last] > 0.0)) --last;
  return last - first;
}

}  // namespace vantrel
