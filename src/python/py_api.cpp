#include "python/py_api.hpp"

#include "python/py_ref.hpp"

namespace vantrel::py {

#ifdef Py_LIMITED_API
namespace {

// The interpreter names a static type by its tp_name, which is its module
// and name ("numpy.ndarray") but for built-in types ("int"), and a class
// made by a class statement by its name alone. The stable ABI offers no
// tp_name: these rebuild it. A heap type made from a C type description keeps its
// module in tp_name, and is named here by its name alone.
std::string name_of(PyTypeObject* type) {
  PyObject* const as_object = reinterpret_cast<PyObject*>(type);
  PyRef name(PyType_GetQualName(type));
  Py_ssize_t size = 0;
  const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (!text) {
    PyErr_Clear();
    return "?";
  }
  std::string shown(text, static_cast<std::size_t>(size));
  if (PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) return shown;
  PyRef module(PyObject_GetAttrString(as_object, "__module__"));
  const char* module_text =
      module && PyUnicode_Check(module.get()) ? PyUnicode_AsUTF8AndSize(module.get(), &size) : nullptr;
  if (!module_text) {
    PyErr_Clear();
    return shown;
  }
  std::string module_name(module_text, static_cast<std::size_t>(size));
  return module_name == "builtins" ? shown : module_name + "." + shown;
}

}  // namespace

TypeName::TypeName(PyObject* object) : name_(name_of(Py_TYPE(object))) {}

void free_instance(PyObject* object) {
  PyTypeObject* const type = Py_TYPE(object);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(object);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

allocfunc allocator_of(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return alloc ? alloc : PyType_GenericAlloc;
}
#else
TypeName::TypeName(PyObject* object) : name_(Py_TYPE(object)->tp_name) {}

void free_instance(PyObject* object) { Py_TYPE(object)->tp_free(object); }

allocfunc allocator_of(PyTypeObject* type) { return type->tp_alloc ? type->tp_alloc : PyType_GenericAlloc; }
#endif

}  // namespace vantrel::py
