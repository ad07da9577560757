#include "walk/ordered_writer.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/parallel.hpp"

namespace vantrel {
namespace {

// Chunks made in a shuffled order by several threads, the later ones
// first, come out in chunk order, every count reported once and in order,
// with no more chunks waiting than the bound lets in.
TEST(OrderedWriter, ChunksFinishingOutOfOrderComeOutInOrderWithBoundedWaiting) {
  constexpr std::uint64_t kChunks = 200;
  std::string out;
  std::vector<std::uint64_t> written;
  OrderedWriter writer([&](std::string_view text, const InterruptPoll&) { out.append(text); },
                       [&](std::uint64_t index, const ChunkCounts& counts) {
                         EXPECT_EQ(index, counts.walks);
                         EXPECT_EQ(2 * index, counts.tokens);
                         written.push_back(index);
                       },
                       4);
  std::atomic<std::uint64_t> handed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (std::uint64_t k = handed++; k < kChunks; k = handed++) {
        // Chunk 0 comes last of its group of eight, so that the others wait.
        if (k % 8 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        writer.hand_over(k, std::to_string(k) + ",", {k, 2 * k}, [] {});
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::string expected;
  for (std::uint64_t k = 0; k < kChunks; ++k) expected += std::to_string(k) + ",";
  EXPECT_EQ(out, expected);
  ASSERT_EQ(written.size(), kChunks);
  for (std::uint64_t k = 0; k < kChunks; ++k) EXPECT_EQ(written[k], k);
  EXPECT_LE(writer.most_ever_waiting(), 4u + 1);  // the bound, and the due chunk that never waits
}

// A write that fails ends the job: the thread writing gets the failure,
// and the threads waiting for room are let go by their poll, not left
// waiting for a chunk that will never be written.
TEST(OrderedWriter, AFailedWriteStopsTheJobWithoutADeadlock) {
  struct Failed : std::runtime_error {
    Failed() : std::runtime_error("disk full") {}
  };
  OrderedWriter writer([](std::string_view, const InterruptPoll&) { throw Failed(); },
                       [](std::uint64_t, const ChunkCounts&) {}, 2);
  EXPECT_THROW(run_tasks(64, 4,
                         [&](std::uint64_t task, const InterruptPoll& poll) {
                           // Chunk 0 is handed over last: the others fill the room and wait.
                           if (task == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
                           writer.hand_over(task, "x", {1, 1}, poll);
                         },
                         {}),
               Failed);
}

}  // namespace
}  // namespace vantrel
