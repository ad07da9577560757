// The parts of the C API that the module's two builds spell differently: the
// full API of the interpreter it is built for (its macros read objects'
// fields directly) and the stable ABI (Py_LIMITED_API: one build for every
// CPython from 3.12 on, through functions only). Everything else in the
// binding is written once, against both.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

namespace vantrel::py {

#ifdef Py_LIMITED_API
// The functions check their arguments, which the callers have already done;
// an error they could report cannot happen here.
inline Py_ssize_t tuple_size(PyObject* tuple) { return PyTuple_Size(tuple); }
inline PyObject* tuple_item(PyObject* tuple, Py_ssize_t i) { return PyTuple_GetItem(tuple, i); }
inline void tuple_set(PyObject* tuple, Py_ssize_t i, PyObject* stolen) { PyTuple_SetItem(tuple, i, stolen); }
inline Py_ssize_t list_size(PyObject* list) { return PyList_Size(list); }
inline PyObject* list_item(PyObject* list, Py_ssize_t i) { return PyList_GetItem(list, i); }
inline void list_set(PyObject* list, Py_ssize_t i, PyObject* stolen) { PyList_SetItem(list, i, stolen); }
inline Py_ssize_t dict_size(PyObject* dict) { return PyDict_Size(dict); }
inline char* bytes_data(PyObject* bytes) { return PyBytes_AsString(bytes); }
inline Py_ssize_t bytes_size(PyObject* bytes) { return PyBytes_Size(bytes); }
inline char* bytearray_data(PyObject* array) { return PyByteArray_AsString(array); }
inline Py_ssize_t bytearray_size(PyObject* array) { return PyByteArray_Size(array); }
inline double float_value(PyObject* number) { return PyFloat_AsDouble(number); }
inline PyObject* call_one(PyObject* callable, PyObject* argument) {
  return PyObject_CallFunctionObjArgs(callable, argument, nullptr);
}
// What PySequence_Fast returned: a list or a tuple.
inline Py_ssize_t fast_size(PyObject* fast) { return PyList_Check(fast) ? PyList_Size(fast) : PyTuple_Size(fast); }
inline PyObject* fast_item(PyObject* fast, Py_ssize_t i) {
  return PyList_Check(fast) ? PyList_GetItem(fast, i) : PyTuple_GetItem(fast, i);
}
#else
inline Py_ssize_t tuple_size(PyObject* tuple) { return PyTuple_GET_SIZE(tuple); }
inline PyObject* tuple_item(PyObject* tuple, Py_ssize_t i) { return PyTuple_GET_ITEM(tuple, i); }
inline void tuple_set(PyObject* tuple, Py_ssize_t i, PyObject* stolen) { PyTuple_SET_ITEM(tuple, i, stolen); }
inline Py_ssize_t list_size(PyObject* list) { return PyList_GET_SIZE(list); }
inline PyObject* list_item(PyObject* list, Py_ssize_t i) { return PyList_GET_ITEM(list, i); }
inline void list_set(PyObject* list, Py_ssize_t i, PyObject* stolen) { PyList_SET_ITEM(list, i, stolen); }
inline Py_ssize_t dict_size(PyObject* dict) { return PyDict_GET_SIZE(dict); }
inline char* bytes_data(PyObject* bytes) { return PyBytes_AS_STRING(bytes); }
inline Py_ssize_t bytes_size(PyObject* bytes) { return PyBytes_GET_SIZE(bytes); }
inline char* bytearray_data(PyObject* array) { return PyByteArray_AS_STRING(array); }
inline Py_ssize_t bytearray_size(PyObject* array) { return PyByteArray_GET_SIZE(array); }
inline double float_value(PyObject* number) { return PyFloat_AS_DOUBLE(number); }
inline PyObject* call_one(PyObject* callable, PyObject* argument) { return PyObject_CallOneArg(callable, argument); }
inline Py_ssize_t fast_size(PyObject* fast) { return PySequence_Fast_GET_SIZE(fast); }
inline PyObject* fast_item(PyObject* fast, Py_ssize_t i) { return PySequence_Fast_GET_ITEM(fast, i); }
#endif

// A str's UTF-8 text, kept by the str; nullptr with an exception set if it
// has none (a lone surrogate).
inline const char* utf8_of(PyObject* text) { return PyUnicode_AsUTF8AndSize(text, nullptr); }

// The name messages give an object's type by, as the interpreter's own
// messages do ("int", "numpy.ndarray"): held for the call it is made in.
class TypeName {
 public:
  explicit TypeName(PyObject* object);
  const char* c_str() const { return name_.c_str(); }

 private:
  std::string name_;
};

// Frees an instance of one of the module's types, at the end of its
// deallocation; a heap type's instance also gives back its reference to the
// type.
void free_instance(PyObject* object);

// The allocation slot of `type`, a module type or a subclass.
allocfunc allocator_of(PyTypeObject* type);

// What a collected object's traversal visits besides its own references: a
// heap type's instance holds a reference to its type.
inline int visit_type_of(PyObject* object, visitproc visit, void* arg) {
#ifdef Py_LIMITED_API
  Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(object)));
#else
  (void)object, (void)visit, (void)arg;
#endif
  return 0;
}

}  // namespace vantrel::py
