// Work done with the interpreter lock released: other Python threads run
// while it works on data that no Python object sees, and it stops, within a
// poll, on Ctrl-C or a failure of the hook it polls.
#pragma once

#include <exception>
#include <string>
#include <utility>

#include "python/py_errors.hpp"

namespace vantrel::py {

// Runs the interpreter's signal handlers (Ctrl-C among them) with the lock
// held; throws PythonErrorAlreadySet when one of them raised, so that the
// work in progress stops.
void check_signals();

// Releases the interpreter lock for its lifetime, so that other Python
// threads run while this one works on data that no Python object sees.
class InterpreterLockReleased {
 public:
  InterpreterLockReleased() : state_(PyEval_SaveThread()) {}
  InterpreterLockReleased(const InterpreterLockReleased&) = delete;
  InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;
  ~InterpreterLockReleased() { PyEval_RestoreThread(state_); }

  // Runs `work` with the lock taken back for its duration.
  template <class Work>
  void with_lock(Work&& work) {
    PyEval_RestoreThread(state_);
    struct ReleaseAgain {
      PyThreadState*& state;
      ~ReleaseAgain() { state = PyEval_SaveThread(); }
    } release_again{state_};
    work();
  }

 private:
  PyThreadState* state_;
};

// Runs `work(poll)` with the interpreter lock released. The poll takes the
// lock back briefly to run signal handlers and then `hook()` (which may
// call into Python, and throws PythonErrorAlreadySet when that fails).
// Returns false with the Python exception set if the work failed, as
// raise_failure() sets it for `data_path` or `filename`.
template <class Work, class Hook>
bool run_released_with(Work&& work, Hook&& hook, const std::string* data_path, PyObject* filename,
                       const char* input_name = "data_path") {
  std::exception_ptr failure;
  {
    InterpreterLockReleased released;
    try {
      work([&] {
        released.with_lock([&] {
          check_signals();
          hook();
        });
      });
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (failure) {
    raise_failure(failure, data_path, filename, input_name);
    return false;
  }
  return true;
}

// run_released_with() with no hook.
template <class Work>
bool run_released(Work&& work, const std::string* data_path = nullptr, PyObject* filename = nullptr) {
  return run_released_with(std::forward<Work>(work), [] {}, data_path, filename);
}

}  // namespace vantrel::py
