#include "python/py_source.hpp"

#include <cstring>

namespace vantrel::py {

bool PyFileSource::check(PyObject* file) {
  if (PyObject_HasAttrString(file, "readinto") || PyObject_HasAttrString(file, "read")) return true;
  PyErr_Format(PyExc_TypeError,
               "source must be a path (str, bytes, os.PathLike) or a binary file object with readinto() or read(), "
               "not %.200s",
               TypeName(file).c_str());
  return false;
}

PyFileSource::~PyFileSource() {
  LockTaken lock;
  landing_.reset();
  file_.reset();
}

std::size_t PyFileSource::read(char* buffer, std::size_t capacity, const InterruptPoll&) {
  LockTaken lock;
  // A signal handler's exception (Ctrl-C) surfaces here too.
  if (PyErr_CheckSignals() < 0) throw PythonErrorAlreadySet{};
  return read_locked(buffer, capacity);
}

std::size_t PyFileSource::read_locked(char* buffer, std::size_t capacity) {
  if (capacity > PY_SSIZE_T_MAX) capacity = PY_SSIZE_T_MAX;
  if (PyObject_HasAttrString(file_.get(), "readinto")) {
    // The object writes into a bytearray of our own, copied from after the
    // call: a view of the piece itself could be kept by the object and
    // written through once the piece is freed.
    if (!landing_ || static_cast<std::size_t>(bytearray_size(landing_.get())) < capacity) {
      landing_.reset();
      landing_.reset(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity)));
      if (!landing_) throw PythonErrorAlreadySet{};
    }
    PyRef whole(PyMemoryView_FromObject(landing_.get()));
    if (!whole) throw PythonErrorAlreadySet{};
    PyRef view(PySequence_GetSlice(whole.get(), 0, static_cast<Py_ssize_t>(capacity)));
    if (!view) throw PythonErrorAlreadySet{};
    PyRef result(PyObject_CallMethod(file_.get(), "readinto", "O", view.get()));
    if (!result) throw PythonErrorAlreadySet{};
    if (result.get() == Py_None) {
      PyErr_SetString(PyExc_BlockingIOError,
                      "source is non-blocking and has no data ready: give a blocking file object");
      throw PythonErrorAlreadySet{};
    }
    const Py_ssize_t count = PyNumber_AsSsize_t(result.get(), PyExc_OverflowError);
    if (count == -1 && PyErr_Occurred()) throw PythonErrorAlreadySet{};
    if (count < 0 || static_cast<std::size_t>(count) > capacity || count > bytearray_size(landing_.get())) {
      PyErr_Format(PyExc_ValueError, "source.readinto() returned %zd for a buffer of %zu bytes", count, capacity);
      throw PythonErrorAlreadySet{};
    }
    std::memcpy(buffer, bytearray_data(landing_.get()), static_cast<std::size_t>(count));
    return static_cast<std::size_t>(count);
  }
  PyRef data(PyObject_CallMethod(file_.get(), "read", "n", static_cast<Py_ssize_t>(capacity)));
  if (!data) throw PythonErrorAlreadySet{};
  if (data.get() == Py_None) {
    PyErr_SetString(PyExc_BlockingIOError, "source is non-blocking and has no data ready: give a blocking file object");
    throw PythonErrorAlreadySet{};
  }
  Py_buffer bytes;
  if (PyObject_GetBuffer(data.get(), &bytes, PyBUF_SIMPLE) < 0) {
    PyErr_Format(PyExc_TypeError, "source.read() must return bytes, not %.200s", TypeName(data.get()).c_str());
    throw PythonErrorAlreadySet{};
  }
  const std::size_t count = static_cast<std::size_t>(bytes.len);
  if (count > capacity) {
    PyBuffer_Release(&bytes);
    PyErr_Format(PyExc_ValueError, "source.read(%zu) returned %zu bytes", capacity, count);
    throw PythonErrorAlreadySet{};
  }
  std::memcpy(buffer, bytes.buf, count);
  PyBuffer_Release(&bytes);
  return count;
}

}  // namespace vantrel::py
