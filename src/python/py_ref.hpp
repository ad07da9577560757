// Owned references to Python objects, for the Python-facing files.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

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

}  // namespace vantrel::py
