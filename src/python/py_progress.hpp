// The progress callable of a long job (write_walks, read): checked when the
// arguments are, then called from the job's polls, with the interpreter lock
// held, at most every 100 ms and once more at the end.
#pragma once

#include "python/py_errors.hpp"

#include <chrono>
#include <cstdint>

namespace vantrel::py {

class Progress {
 public:
  // Takes `callable` (null or None: no progress); false with TypeError set
  // when it cannot be called.
  bool set(PyObject* callable) {
    callable_ = callable && callable != Py_None ? callable : nullptr;
    if (callable_ && !PyCallable_Check(callable_)) {
      PyErr_Format(PyExc_TypeError, "progress must be callable or None, not %.200s", TypeName(callable_).c_str());
      return false;
    }
    return true;
  }
  explicit operator bool() const { return callable_ != nullptr; }

  // From now on every report() calls the callable: the final count.
  void finish() { finished_ = true; }

  // Calls the callable with done(), a new reference to an int (or null with
  // an exception set), if 100 ms have passed since the last call or the job
  // is finished. Throws PythonErrorAlreadySet when either fails.
  template <class Done>
  void report(Done&& done) {
    const auto now = std::chrono::steady_clock::now();
    if (!callable_ || (!finished_ && now - last_call_ < kInterval)) return;
    last_call_ = now;
    PyRef count(done());
    if (!count) throw PythonErrorAlreadySet{};
    PyRef result(call_one(callable_, count.get()));
    if (!result) throw PythonErrorAlreadySet{};
  }

 private:
  static constexpr auto kInterval = std::chrono::milliseconds(100);
  PyObject* callable_ = nullptr;  // borrowed from the call's arguments
  bool finished_ = false;
  std::chrono::steady_clock::time_point last_call_ = std::chrono::steady_clock::now();
};

}  // namespace vantrel::py
