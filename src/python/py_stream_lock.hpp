// The lock on a sampler's own stream: one call at a time draws from it.
#pragma once

#include "python/py_errors.hpp"

#include <pythread.h>

#include <atomic>
#include <chrono>
#include <mutex>

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
        Py_BEGIN_ALLOW_THREADS locked = mutex_.try_lock_for(std::chrono::milliseconds(50));
        Py_END_ALLOW_THREADS if (locked) break;
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

}  // namespace vantrel::py
