#include "parallel.hpp"

#include <sched.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace vantrel {

unsigned available_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware > 0 ? hardware : 1;
}

namespace {

// Thrown inside the other threads' tasks once some task has failed.
struct Stopped {};

// What the threads of one run_tasks call share.
class TaskPool {
 public:
  TaskPool(std::uint64_t tasks, const std::function<void(std::uint64_t, const InterruptPoll&)>& work)
      : tasks_(tasks), work_(work) {}

  // Takes tasks until none is left or the pool stops; records the first failure.
  void serve(const InterruptPoll& poll) {
    try {
      for (std::uint64_t task; !stopped_.load(std::memory_order_relaxed) && (task = next_++) < tasks_;) {
        poll();
        work_(task, poll);
      }
    } catch (const Stopped&) {
    } catch (...) {
      fail(std::current_exception());
    }
  }

  void fail(std::exception_ptr failure) {
    std::lock_guard lock(mutex_);
    if (!failure_) failure_ = std::move(failure);
    stopped_.store(true, std::memory_order_relaxed);
  }

  void throw_if_stopped() const {
    if (stopped_.load(std::memory_order_relaxed)) throw Stopped{};
  }

  void worker_done() {
    std::lock_guard lock(mutex_);
    ++workers_done_;
    done_.notify_all();
  }

  // Waits until `workers` threads have called worker_done(), calling
  // `interrupt` every few milliseconds meanwhile, until something failed:
  // after a failure (an interrupt's among them) it is not called again.
  void wait_for_workers(std::size_t workers, const InterruptPoll& interrupt) {
    std::unique_lock lock(mutex_);
    while (workers_done_ < workers) {
      if (done_.wait_for(lock, std::chrono::milliseconds(20)) == std::cv_status::timeout && interrupt &&
          !stopped_.load(std::memory_order_relaxed)) {
        lock.unlock();
        try {
          interrupt();
        } catch (...) {
          fail(std::current_exception());
        }
        lock.lock();
      }
    }
  }

  std::exception_ptr failure() {
    std::lock_guard lock(mutex_);
    return failure_;
  }

 private:
  const std::uint64_t tasks_;
  const std::function<void(std::uint64_t, const InterruptPoll&)>& work_;
  std::atomic<std::uint64_t> next_{0};
  std::atomic<bool> stopped_{false};
  std::mutex mutex_;
  std::condition_variable done_;
  std::size_t workers_done_ = 0;
  std::exception_ptr failure_;
};

}  // namespace

void run_tasks(std::uint64_t tasks, unsigned threads,
               const std::function<void(std::uint64_t task, const InterruptPoll& poll)>& work,
               const InterruptPoll& interrupt) {
  if (tasks == 0) return;
  TaskPool pool(tasks, work);
  const std::uint64_t wanted = threads == 0 ? 1 : (threads < tasks ? threads : tasks);
  std::vector<std::thread> workers;
  const InterruptPoll worker_poll = [&pool] { pool.throw_if_stopped(); };
  for (std::uint64_t t = 1; t < wanted; ++t) {
    try {
      workers.emplace_back([&pool, &worker_poll] {
        pool.serve(worker_poll);
        pool.worker_done();
      });
    } catch (const std::system_error&) {
      break;  // fewer threads: the same results, later
    }
  }
  // The calling thread: the caller's interrupt check, at most every few
  // milliseconds, and a stop when another thread failed.
  auto last_check = std::chrono::steady_clock::now();
  const InterruptPoll caller_poll = [&] {
    pool.throw_if_stopped();
    const auto now = std::chrono::steady_clock::now();
    if (interrupt && now - last_check >= std::chrono::milliseconds(5)) {
      last_check = now;
      interrupt();
    }
  };
  pool.serve(caller_poll);
  pool.wait_for_workers(workers.size(), interrupt);
  for (std::thread& worker : workers) worker.join();
  if (std::exception_ptr failure = pool.failure()) std::rethrow_exception(failure);
}

}  // namespace vantrel
