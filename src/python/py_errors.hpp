// Binding support shared by the Python-facing files: owned references, the
// interpreter lock, and the one translation of C++ failures into Python
// exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "graph/labels.hpp"

namespace vantrel::py {

// An owned (strong) reference, released when it goes out of scope.
struct PyDecRef {
  void operator()(PyObject* object) const { Py_DECREF(object); }
};
using PyRef = std::unique_ptr<PyObject, PyDecRef>;

// A new strong reference to `borrowed` (which may be null).
inline PyRef new_ref(PyObject* borrowed) {
  Py_XINCREF(borrowed);
  return PyRef(borrowed);
}

// A call into the interpreter failed inside C++ code; its exception is set.
struct PythonErrorAlreadySet {};

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

// Turns the failure in flight into the pending Python exception. `data_path`
// names the file in the exception's note where the failure concerns it, as
// the argument `input_name` ("data_path: 'kg.tsv'"); a failed write becomes
// the OSError subclass for its errno with `filename`.
void raise_failure(std::exception_ptr failure, const std::string* data_path = nullptr, PyObject* filename = nullptr,
                   const char* input_name = "data_path");

// What an entry of the binding returns when it fails: null for an object,
// -1 for an int or a size.
template <class Result>
Result failed_entry_result() {
  if constexpr (std::is_pointer_v<Result>) {
    return nullptr;
  } else {
    return -1;
  }
}

// An entry point the interpreter calls (a method, a slot, a getter) that
// never lets a C++ exception reach the interpreter: whatever escapes
// `Function` becomes the pending Python exception, as raise_failure() turns
// it (MemoryError for std::bad_alloc). Every entry of the binding's types is
// registered through it.
template <auto Function, class Signature = decltype(Function)>
struct GuardedEntry;

template <auto Function, class Result, class... Args>
struct GuardedEntry<Function, Result (*)(Args...)> {
  static Result call(Args... args) noexcept {
    try {
      return Function(args...);
    } catch (...) {
      raise_failure(std::current_exception());
      return failed_entry_result<Result>();
    }
  }
};

template <auto Function>
inline constexpr auto guarded = &GuardedEntry<Function>::call;

// Adds to the pending exception the note that raise_failure() gives a
// failure of the input `data_path` ("source: 'kg.nt.gz'"; Python 3.11+).
void add_file_note(const std::string& data_path, const char* input_name);

// Adds `text` as a note to the pending exception (Python 3.11+; nothing
// before).
void add_note(const char* text);

// Sets the OSError subclass for `code` with the system's message and
// `filename` (may be null), as the interpreter's own file functions do.
void raise_os_error(int code, PyObject* filename);

// Sets KeyError(name), `name` being the str that is no label of `labels`,
// with the closest labels or another hint as a note where there is one
// ("did you mean '_hypernym'?"; Python 3.11+).
void raise_unknown_label(PyObject* name, const LabelList& labels);

// Sets KeyError(text), `text` being a str that is no relation token:
// `relation` is its text before a direction suffix (all of it where it has
// none, `directed` false), with a note that says what a token is or names
// the closest relations (Python 3.11+).
void raise_unknown_token(PyObject* text, std::string_view relation, bool directed, const LabelList& relations);

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
