#include "graph/graph.hpp"

#include <atomic>

#include "graph/head_runs.hpp"

namespace vantrel {

template <class Id>
void BasicGraph<Id>::group_heads(const InterruptPoll& poll) {
  std::atomic<std::uint64_t> heading_nodes = 0;
  for_node_ranges(node_count(), poll, [&](std::uint64_t begin, std::uint64_t end) {
    std::uint64_t heading = 0;
    for (std::uint64_t node = begin; node < end; ++node) heading += cells_[block_of_[node]].header.forward_count != 0;
    heading_nodes += heading;
  });
  ArrayRegion<Id> runs = head_runs_of(heads_, heading_nodes, poll);
  if (runs.empty()) return;
  head_runs_ = std::move(runs);
  heads_ = ArrayRegion<Id>();
}

template class BasicGraph<std::uint32_t>;
template class BasicGraph<std::uint64_t>;

}  // namespace vantrel
