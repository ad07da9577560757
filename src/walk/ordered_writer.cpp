#include "walk/ordered_writer.hpp"

#include <algorithm>
#include <chrono>
#include <utility>

namespace vantrel {

std::string OrderedWriter::spare_text() {
  const std::lock_guard take(mutex_);
  if (spare_texts_.empty()) return {};
  std::string text = std::move(spare_texts_.back());
  spare_texts_.pop_back();
  return text;
}

std::size_t OrderedWriter::most_ever_waiting() const {
  const std::lock_guard look(mutex_);
  return most_ever_waiting_;
}

void OrderedWriter::hand_over(std::uint64_t index, std::string text, ChunkCounts counts, const InterruptPoll& poll) {
  std::unique_lock lock(mutex_);
  while (ready_.size() >= most_waiting_ && index != next_to_write_) {
    written_one_.wait_for(lock, std::chrono::milliseconds(20));
    lock.unlock();
    poll();  // throws once the job has failed elsewhere
    lock.lock();
  }
  ready_.emplace(index, Ready{std::move(text), counts});
  most_ever_waiting_ = std::max(most_ever_waiting_, ready_.size());
  if (writing_) return;
  writing_ = true;
  struct WritingDone {
    bool& writing;
    ~WritingDone() { writing = false; }
  } writing_done{writing_};
  for (auto due = ready_.find(next_to_write_); due != ready_.end(); due = ready_.find(next_to_write_)) {
    Ready chunk = std::move(due->second);
    ready_.erase(due);
    lock.unlock();
    try {
      write_(chunk.text, poll);
    } catch (...) {
      lock.lock();  // so that `writing_` is cleared under the mutex, as the other threads read it
      throw;
    }
    lock.lock();
    spare_texts_.push_back(std::move(chunk.text));
    written_(next_to_write_, chunk.counts);
    ++next_to_write_;
    written_one_.notify_all();
  }
}

}  // namespace vantrel
