#include "graph/head_runs.hpp"

#include <algorithm>
#include <vector>

#include "core/parallel.hpp"

namespace vantrel {

namespace {

// The heads a task reads.
constexpr std::uint64_t kHeadsPerTask = std::uint64_t{1} << 22;

// Whether triple t (t > 0) starts a run: its head is not the one before it.
template <class Id>
bool starts_run(const Id* heads, std::uint64_t t) {
  return heads[t] != heads[t - 1];
}

}  // namespace

template <class Id>
ArrayRegion<Id> head_runs_of(const ArrayRegion<Id>& heads, std::uint64_t heading_nodes, const InterruptPoll& poll) {
  const std::uint64_t triples = heads.size();
  // Not worth a scan where even one run a head would take too much room.
  if (!keeps_head_runs(triples, heading_nodes, heading_nodes)) return {};
  const Id* const at = heads.data();
  const std::uint64_t tasks = (triples + kHeadsPerTask - 1) / kHeadsPerTask;
  // Each task's runs, then where they go: a run is the task's whose first triple it holds.
  std::vector<std::uint64_t> first_run(tasks + 1, 0);
  run_tasks(
      tasks, available_cpus(),
      [&](std::uint64_t task, const InterruptPoll&) {
        const std::uint64_t begin = task * kHeadsPerTask;
        const std::uint64_t end = std::min(triples, begin + kHeadsPerTask);
        std::uint64_t runs = begin == 0 ? 1 : starts_run(at, begin);
        for (std::uint64_t t = begin + 1; t < end; ++t) runs += starts_run(at, t);
        first_run[task + 1] = runs;
      },
      poll);
  for (std::uint64_t task = 0; task < tasks; ++task) first_run[task + 1] += first_run[task];
  if (!keeps_head_runs(triples, first_run[tasks], heading_nodes)) return {};
  auto runs = ArrayRegion<Id>::allocate(heading_nodes);
  Id* const out = runs.mutable_data();
  run_tasks(
      tasks, available_cpus(),
      [&](std::uint64_t task, const InterruptPoll&) {
        const std::uint64_t begin = task * kHeadsPerTask;
        const std::uint64_t end = std::min(triples, begin + kHeadsPerTask);
        std::uint64_t run = first_run[task];
        if (begin == 0 || starts_run(at, begin)) out[run++] = at[begin];
        for (std::uint64_t t = begin + 1; t < end; ++t) {
          if (starts_run(at, t)) out[run++] = at[t];
        }
      },
      poll);
  return runs;
}

template ArrayRegion<std::uint32_t> head_runs_of(const ArrayRegion<std::uint32_t>&, std::uint64_t,
                                                 const InterruptPoll&);
template ArrayRegion<std::uint64_t> head_runs_of(const ArrayRegion<std::uint64_t>&, std::uint64_t,
                                                 const InterruptPoll&);

}  // namespace vantrel
