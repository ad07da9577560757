// A Python binary file object as a source of bytes: gzip.open(...),
// sys.stdin.buffer, a socket's file, an fsspec file. Read through its
// readinto() (into a bytearray of its own, then copied) or read(), with the
// interpreter lock taken for each call, on the thread that started the
// reading only.
#pragma once

#include "python/py_errors.hpp"

#include <cstdint>

#include "read/byte_source.hpp"

namespace vantrel::py {

// Takes the interpreter lock for a scope, from a thread that may or may not hold it.
class LockTaken {
 public:
  LockTaken() : state_(PyGILState_Ensure()) {}
  LockTaken(const LockTaken&) = delete;
  LockTaken& operator=(const LockTaken&) = delete;
  ~LockTaken() { PyGILState_Release(state_); }

 private:
  PyGILState_STATE state_;
};

class PyFileSource final : public ByteSource {
 public:
  // `file` must have readinto or read; false with TypeError set otherwise.
  static bool check(PyObject* file);
  // Holds a reference to `file`; the lock must be held.
  explicit PyFileSource(PyObject* file) : file_(new_ref(file)) {}
  ~PyFileSource() override;

  // Throws PythonErrorAlreadySet when the object's method raises (or
  // returns what is not a count or bytes).
  std::size_t read(char* buffer, std::size_t capacity, const InterruptPoll& poll) override;
  bool reads_on_any_thread() const override { return false; }

 private:
  std::size_t read_locked(char* buffer, std::size_t capacity);

  PyRef file_;
  PyRef landing_;  // the bytearray that readinto() fills
};

}  // namespace vantrel::py
