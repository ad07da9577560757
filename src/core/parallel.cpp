#include "core/parallel.hpp"

#include <cxxabi.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
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

#if defined(_LIBCPP_VERSION)
// LLVM's libc++abi (the wheels' runtime) defines the function that
// allocates a thread's exception state, as GNU's libsupc++ does, but its
// header does not declare it.
extern "C" void* __cxa_get_globals() noexcept;
void* exception_state() { return __cxa_get_globals(); }
#else
void* exception_state() { return abi::__cxa_get_globals(); }
#endif

// Makes the C++ runtime allocate this thread's exception state now, if it
// has not yet. The call is declared free of side effects, so its result is
// handed to an empty asm statement, which the compiler cannot leave out.
void set_up_exception_state() {
  void* globals = exception_state();
  asm volatile("" : : "r"(globals));
}

// The address space a new thread needs: its stack (the default size) and a
// margin for what it allocates first.
std::size_t thread_room() {
  std::size_t stack_size = std::size_t{8} << 20;
  pthread_attr_t defaults;
  if (pthread_getattr_default_np(&defaults) == 0) {
    pthread_attr_getstacksize(&defaults, &stack_size);
    pthread_attr_destroy(&defaults);
  }
  return stack_size + (std::size_t{1} << 20);
}

// Whether `probe_size` bytes of address space are free now, probed by
// mapping as much and giving it back.
bool room_for(std::size_t probe_size) {
  // Mapped rather than allocated: malloc would keep the address space of a
  // block this size for itself once it was freed.
  void* probe = ::mmap(nullptr, probe_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (probe == MAP_FAILED) return false;
  ::munmap(probe, probe_size);
  return true;
}

// Holds started workers until every one is set up.
class StartGate {
 public:
  // In a worker: reports it is set up, then waits for the gate to open.
  void arrive() {
    std::unique_lock lock(mutex_);
    ++arrived_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
  }
  // Waits until `workers` workers have arrived.
  void await(std::size_t workers) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return arrived_ >= workers; });
  }
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t arrived_ = 0;
  bool open_ = false;
};

// Starts up to `count` workers, each running `serve` once all are started,
// and returns them. A worker first touches the C++ runtime's per-thread
// exception state: in a module loaded at run time the C library allocates
// it on first use, and ends the process if that allocation fails, so it is
// made while the room probed for is still there. The workers started so far
// wait meanwhile, so that their own work cannot take that room.
template <class Serve>
std::vector<std::thread> start_workers(std::uint64_t count, Serve& serve) {
  std::vector<std::thread> workers;
  auto gate = std::make_shared<StartGate>();
  const std::size_t room = thread_room();
  try {
    workers.reserve(count);
    for (std::uint64_t t = 0; t < count && room_for(room); ++t) {
      workers.emplace_back([gate, &serve] {
        set_up_exception_state();
        gate->arrive();
        serve();
      });
      gate->await(workers.size());
    }
  } catch (const std::system_error&) {
    // fewer threads: the same results, later
  } catch (const std::bad_alloc&) {
  }
  gate->open();
  return workers;
}

}  // namespace

void run_tasks(std::uint64_t tasks, unsigned threads,
               const std::function<void(std::uint64_t task, const InterruptPoll& poll)>& work,
               const InterruptPoll& interrupt) {
  if (tasks == 0) return;
  set_up_exception_state();  // the calling thread's, as the workers' below
  TaskPool pool(tasks, work);
  const std::uint64_t wanted = threads == 0 ? 1 : (threads < tasks ? threads : tasks);
  const InterruptPoll worker_poll = [&pool] { pool.throw_if_stopped(); };
  auto serve = [&pool, &worker_poll] {
    pool.serve(worker_poll);
    pool.worker_done();
  };
  std::vector<std::thread> workers = start_workers(wanted - 1, serve);
  // The calling thread: the caller's interrupt check at its first poll (so
  // that work of any length sees an interrupt already pending) and then at
  // most every few milliseconds, and a stop when another thread failed.
  auto last_check = std::chrono::steady_clock::now();
  bool checked = false;
  const InterruptPoll caller_poll = [&] {
    pool.throw_if_stopped();
    const auto now = std::chrono::steady_clock::now();
    if (interrupt && (!checked || now - last_check >= std::chrono::milliseconds(5))) {
      checked = true;
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
