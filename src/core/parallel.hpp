// Running many independent tasks on several threads, the calling thread
// among them, so that the caller can still be interrupted (Ctrl-C) while the
// others work.
#pragma once

#include <cstdint>
#include <functional>

#include "core/interrupt.hpp"

namespace vantrel {

// The number of CPUs this process may run on (its affinity mask), at least 1.
unsigned available_cpus();

// Runs work(task, poll) for every task in [0, tasks) on up to `threads`
// threads (at least one: the calling thread). Tasks are handed out in
// order; what a task computes must not depend on which thread runs it.
// Long tasks call the `poll` they are given now and then: on the calling
// thread it calls `interrupt` (at its first call, then at most every few
// milliseconds); on the
// others it throws once any task has failed. `interrupt` is also called
// while the calling thread waits for the others. The first failure of a
// task, or of `interrupt`, stops the handing out of tasks and is rethrown
// once every thread has stopped. A thread that cannot be started leaves its
// share to the others.
void run_tasks(std::uint64_t tasks, unsigned threads,
               const std::function<void(std::uint64_t task, const InterruptPoll& poll)>& work,
               const InterruptPoll& interrupt);

}  // namespace vantrel
