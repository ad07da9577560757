#include "walk/walk_lengths.hpp"

#include <algorithm>
#include <new>

#include "core/memory.hpp"

namespace vantrel {

namespace {

// What a route records of each step while it is drawn: its node, its
// relation token and its triple (64 bits each), in vectors that grow to
// up to twice what they hold.
constexpr std::uint64_t kRouteBytesPerStep = 2 * 3 * sizeof(std::uint64_t);

// a + b, or UINT64_MAX where the sum does not fit.
constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}

// a * b, or UINT64_MAX where the product does not fit.
constexpr std::uint64_t saturating_multiply(std::uint64_t a, std::uint64_t b) {
  return a != 0 && b > UINT64_MAX / a ? UINT64_MAX : a * b;
}

}  // namespace

RouteSizes drawn_route_sizes(const WalkRules& rules, Items items, std::uint64_t first, std::uint64_t count) {
  if (rules.fixed_steps) return longest_route_sizes(rules, items, count);
  RouteSizes sizes;
  for_each_walk_length(rules, first, 0, count, [&](std::uint64_t, std::uint64_t path_len, const StdRng&) {
    sizes.items = saturating_add(sizes.items, item_count(items, path_len));
    sizes.longest_steps = std::max(sizes.longest_steps, path_len);
  });
  return sizes;
}

RouteSizes longest_route_sizes(const WalkRules& rules, Items items, std::uint64_t count) {
  const std::uint64_t longest = longest_path_len(rules);
  return {count == 0 ? 0 : saturating_multiply(count, item_count(items, longest)), count == 0 ? 0 : longest};
}

RouteSizes operator+(const RouteSizes& a, const RouteSizes& b) {
  return {saturating_add(a.items, b.items), std::max(a.longest_steps, b.longest_steps)};
}

bool routes_fit(const RouteSizes& sizes, std::uint64_t bytes_per_item, std::uint64_t in_flight) {
  const std::uint64_t kept = saturating_multiply(sizes.items, bytes_per_item);
  const std::uint64_t records = saturating_multiply(saturating_multiply(sizes.longest_steps, kRouteBytesPerStep),
                                                    std::max<std::uint64_t>(in_flight, 1));
  const std::uint64_t bytes = saturating_add(kept, records);
  return bytes < UINT64_MAX && bytes < physical_memory_bytes();
}

void ensure_routes_fit(const WalkRules& rules, Items items, std::uint64_t first, std::uint64_t count,
                       std::uint64_t bytes_per_item, std::uint64_t in_flight) {
  if (routes_fit(longest_route_sizes(rules, items, count), bytes_per_item, in_flight)) return;
  if (!routes_fit(drawn_route_sizes(rules, items, first, count), bytes_per_item, in_flight)) throw std::bad_alloc();
}

}  // namespace vantrel
