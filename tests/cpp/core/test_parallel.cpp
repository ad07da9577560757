#include "core/parallel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vantrel {
namespace {

struct Interrupted {};

TEST(RunTasks, EveryTaskOnceAndTheFirstFailureStopsTheRest) {
  for (const unsigned threads : {1u, 2u, 7u}) {
    std::vector<std::atomic<int>> runs(1000);
    run_tasks(runs.size(), threads, [&](std::uint64_t task, const InterruptPoll&) { ++runs[task]; }, {});
    for (const auto& count : runs) ASSERT_EQ(count.load(), 1);
    std::atomic<std::uint64_t> started{0};
    // Each task takes a little while, so that the rest running to the end
    // means the failure did not stop them, not that the failing thread was
    // kept off the CPU for the moment they took (7 threads on a loaded 2-core
    // machine ran 100,000 empty tasks in that moment).
    EXPECT_THROW(run_tasks(100000, threads,
                           [&](std::uint64_t task, const InterruptPoll& poll) {
                             ++started;
                             if (task == 10) throw std::runtime_error("task failed");
                             std::this_thread::sleep_for(std::chrono::microseconds(20));
                             poll();
                           },
                           {}),
                 std::runtime_error);
    EXPECT_LT(started.load(), 100000u);
  }
}

TEST(RunTasks, TheCallersInterruptStopsEveryThread) {
  int polls = 0;
  EXPECT_THROW(run_tasks(
                   1u << 30, 2,
                   [](std::uint64_t, const InterruptPoll& poll) {
                     for (int i = 0; i < 1000; ++i) poll();
                   },
                   [&] {
                     if (++polls == 3) throw Interrupted{};
                   }),
               Interrupted);
}

TEST(RunTasks, TasksRunOnTheThreadsAskedForTheCallerAmongThem) {
  std::mutex mutex;
  std::set<std::thread::id> seen;
  std::atomic<int> waiting{0};
  run_tasks(3, 3,
            [&](std::uint64_t, const InterruptPoll& poll) {
              {
                const std::lock_guard lock(mutex);
                seen.insert(std::this_thread::get_id());
              }
              // Each task waits until all three run at once: only three threads can do that.
              ++waiting;
              while (waiting.load() < 3) poll();
            },
            {});
  EXPECT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen.count(std::this_thread::get_id()), 1u);
  EXPECT_GE(available_cpus(), 1u);
}

}  // namespace
}  // namespace vantrel
