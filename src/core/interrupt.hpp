// The hook through which long work in the core lets its caller stop it.
#pragma once

#include <cstdint>
#include <functional>

namespace vantrel {

// Called now and then during long work (and whenever a blocking system call
// was interrupted by a signal) so that the caller can abandon the work by
// throwing. Empty: never called.
using InterruptPoll = std::function<void()>;

// Long loops over many small items (steps of a walk, rows of an array,
// items of a list) call their poll once every this many items: often
// enough that Ctrl-C takes effect within a fraction of a second, seldom
// enough to cost nothing.
inline constexpr std::uint64_t kItemsPerPoll = std::uint64_t{1} << 20;

// Counts work for a poll across calls (the steps of many short walks, the
// proposals of one long step), and calls the poll once kItemsPerPoll items
// of it have been done since the last.
class PollingMeter {
 public:
  explicit PollingMeter(const InterruptPoll& poll) : poll_(poll) {}

  void add(std::uint64_t items) {
    done_ += items;
    if (done_ >= kItemsPerPoll) [[unlikely]] {
      done_ = 0;
      if (poll_) poll_();
    }
  }

 private:
  const InterruptPoll& poll_;
  std::uint64_t done_ = 0;
};

}  // namespace vantrel
