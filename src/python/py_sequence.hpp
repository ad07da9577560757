// Registering a static type as a virtual subclass of collections.abc.Sequence,
// for the read-only sequences the module hands out (tokens, id arrays).
#pragma once

#include "python/py_errors.hpp"

namespace vantrel::py {

// Registers `type`, which implements the whole Sequence protocol (len,
// items and slices, contains, index, count), as a collections.abc.Sequence.
// -1 with an exception set on failure.
inline int register_as_sequence(PyTypeObject* type) {
  PyRef abc(PyImport_ImportModule("collections.abc"));
  if (!abc) return -1;
  PyRef sequence(PyObject_GetAttrString(abc.get(), "Sequence"));
  if (!sequence) return -1;
  PyRef result(PyObject_CallMethod(sequence.get(), "register", "O", reinterpret_cast<PyObject*>(type)));
  return result ? 0 : -1;
}

}  // namespace vantrel::py
