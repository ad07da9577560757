// The module's types, each described once by a PyType_Spec and made from it
// as its build needs: a static type with the full C API, as the module has
// always had, and a heap type on the stable ABI, where a type's layout is
// the interpreter's own.
#pragma once

#include "python/py_api.hpp"

namespace vantrel::py {

// Makes the type `description` describes, ready, for the rest of the
// process:
// nullptr with an exception set on failure. A type without a Py_tp_new slot
// cannot be made from Python; the description's flags are kept as given (a heap
// type is also immutable, as a static one is).
PyTypeObject* make_type(PyType_Spec& description);

}  // namespace vantrel::py
