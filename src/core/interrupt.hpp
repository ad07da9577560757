// The hook through which long work in the core lets its caller stop it.
#pragma once

#include <functional>

namespace vantrel {

// Called now and then during long work (and whenever a blocking system call
// was interrupted by a signal) so that the caller can abandon the work by
// throwing. Empty: never called.
using InterruptPoll = std::function<void()>;

}  // namespace vantrel
