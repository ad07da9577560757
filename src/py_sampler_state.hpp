// What the PathSampler binding files share: the state a sampler owns, the
// lock on its own stream, and the helpers that several methods use.
#pragma once

#include "py_errors.hpp"

#include <pythread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "graph.hpp"
#include "random.hpp"
#include "walks.hpp"

namespace vantrel::py {

// Lets one call at a time draw from a sampler's own stream. A call from
// another thread waits its turn with the interpreter lock released; a call
// from the thread that holds it (a signal handler or a finalizer running in
// the middle of a walk) is refused, since its draws would land inside the
// walk in progress.
class StreamLock {
 public:
  // Takes the lock, or returns false with RuntimeError (re-entry) or the
  // exception of a signal handler (while waiting) set.
  bool acquire(const char* method) {
    const unsigned long me = PyThread_get_thread_ident();
    if (!mutex_.try_lock()) {
      if (owner_.load() == me) {
        PyErr_Format(PyExc_RuntimeError,
                     "%s called while this thread is drawing from the same sampler's stream "
                     "(from a signal handler or finalizer); its draws would change the walk in progress",
                     method);
        return false;
      }
      for (;;) {
        bool locked;
        Py_BEGIN_ALLOW_THREADS
        locked = mutex_.try_lock_for(std::chrono::milliseconds(50));
        Py_END_ALLOW_THREADS
        if (locked) break;
        if (PyErr_CheckSignals() < 0) return false;
      }
    }
    owner_.store(me);
    return true;
  }

  void release() {
    owner_.store(0);
    mutex_.unlock();
  }

 private:
  std::timed_mutex mutex_;
  std::atomic<unsigned long> owner_{0};
};

// Holds a StreamLock until the end of the scope, once acquired.
class StreamLockHeld {
 public:
  explicit StreamLockHeld(StreamLock& lock) : lock_(lock) {}
  StreamLockHeld(const StreamLockHeld&) = delete;
  StreamLockHeld& operator=(const StreamLockHeld&) = delete;
  bool acquire(const char* method) { return held_ = lock_.acquire(method); }
  ~StreamLockHeld() {
    if (held_) lock_.release();
  }

 private:
  StreamLock& lock_;
  bool held_ = false;
};

// Everything a PathSampler owns; no Python object among it.
struct SamplerState {
  SamplerState(WalkRules walk_rules, StdRng stream, KG graph)
      : rules(walk_rules), rng(stream), kg(std::move(graph)) {}

  WalkRules rules;
  StdRng rng;  // stream 0: the sampler's own
  KG kg;
  StreamLock stream_lock;
  std::vector<std::uint64_t> tokens;  // the last walk's tokens, kept to reuse their storage
};

struct PathSamplerObject {
  PyObject_HEAD
  std::unique_ptr<SamplerState> state;
};

inline SamplerState& state_of(PyObject* object) { return *reinterpret_cast<PathSamplerObject*>(object)->state; }

// The construction stages, in order: get the graph (read the file as UTF-8,
// cut it into triples and build it; or open a snapshot), form the seed,
// make the Poisson distribution, make the generator.
std::unique_ptr<SamplerState> state_with(KG kg, double mean_path_len, std::uint64_t max_path_len,
                                         std::uint64_t random_state);

// A new PathSampler object of `type` with no state yet, or null with an
// exception set. Releasing it before it has state is safe.
PyRef allocate_sampler(PyTypeObject* type);

// Runs `work` with the interpreter lock released, giving it a poll that
// takes the lock back briefly to run signal handlers. Returns false with
// the Python exception set if it failed, as raise_failure() sets it for
// `data_path` or `filename`.
template <class Work>
bool run_released(Work&& work, const std::string* data_path = nullptr, PyObject* filename = nullptr) {
  std::exception_ptr failure;
  {
    InterpreterLockReleased released;
    try {
      work([&released] { released.check_signals(); });
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (failure) {
    raise_failure(failure, data_path, filename);
    return false;
  }
  return true;
}

// The arguments of walk_ids() and walks(), converted.
struct NumberedRequest {
  std::uint64_t first;
  std::uint64_t stop;
  unsigned threads;
  StartRule start;
};

// Parses and converts the arguments (first, stop, *, threads, start) of the
// walks-by-number methods; false with the exception set on failure.
bool parse_numbered_request(const char* fname, PyObject* args, PyObject* kwargs, NumberedRequest& request);

// PathSampler's methods that read or write files (py_sampler_files.cpp).
PyObject* PathSampler_load(PyObject* type, PyObject* args, PyObject* kwargs);
PyObject* PathSampler_save(PyObject* object, PyObject* args, PyObject* kwargs);
PyObject* PathSampler_write_walks(PyObject* object, PyObject* args, PyObject* kwargs);

}  // namespace vantrel::py
