// Text made in numbered chunks by several threads, written in chunk order:
// a finished chunk joins the ready ones, and whichever thread hands over the
// chunk that is due writes it and every ready one after it, while the
// others go on making theirs. A thread that finds too many chunks waiting
// waits itself, so that memory stays bounded when the output is slower than
// the threads.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/interrupt.hpp"

namespace vantrel {

// What a chunk's text holds: its walks and their tokens.
struct ChunkCounts {
  std::uint64_t walks = 0;
  std::uint64_t tokens = 0;
};

class OrderedWriter {
 public:
  // Writes a chunk's text; may throw (a write error), which ends the job.
  using Write = std::function<void(std::string_view text, const InterruptPoll& poll)>;
  // Called under the writer's lock once a chunk is written, with its index
  // and the counts it was handed over with.
  using Written = std::function<void(std::uint64_t index, const ChunkCounts& counts)>;

  OrderedWriter(Write write, Written written, std::size_t most_waiting)
      : write_(std::move(write)), written_(std::move(written)), most_waiting_(most_waiting) {}

  // A buffer for a chunk's text: one written before, to reuse its storage,
  // or a new one.
  std::string spare_text();

  // Hands over chunk `index` (chunks are numbered from 0, each handed over
  // once) with its text and its counts for `written`. Waits, polling, while
  // most_waiting chunks are ready and this one is not due; then, unless
  // another thread is writing, writes every chunk that is due. `poll`
  // throws to end the wait once the job has failed elsewhere; a failed
  // write throws here.
  void hand_over(std::uint64_t index, std::string text, ChunkCounts counts, const InterruptPoll& poll);

  // The most chunks that were ever ready and waiting at once.
  std::size_t most_ever_waiting() const;

 private:
  struct Ready {
    std::string text;
    ChunkCounts counts;
  };

  const Write write_;
  const Written written_;
  const std::size_t most_waiting_;
  mutable std::mutex mutex_;
  std::condition_variable written_one_;
  std::map<std::uint64_t, Ready> ready_;
  std::vector<std::string> spare_texts_;
  std::uint64_t next_to_write_ = 0;
  bool writing_ = false;
  std::size_t most_ever_waiting_ = 0;
};

}  // namespace vantrel
