// The Python module `vantrel`: single-phase initialisation, its doc and
// __all__, and the PathSampler type (python/py_sampler.cpp).
#include "python/py_errors.hpp"
#include "python/py_sampler.hpp"

#include <cstring>
#include <stdexcept>

#include "random/chacha20.hpp"

namespace {

using vantrel::py::PathSamplerType;
using vantrel::py::PyRef;
using vantrel::py::raise_import_error;

PyModuleDef vantrel_module = {
    PyModuleDef_HEAD_INIT, "vantrel", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Sets `name` on the module and appends it to the module's `__all__`,
// creating that list on first use.
enum class AddFailure { kNone, kAll, kAttribute };
AddFailure add_to_module(PyObject* module, const char* name, PyObject* value) {
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return AddFailure::kAll;
    PyErr_Clear();
    all.reset(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return AddFailure::kAll;
  }
  PyRef name_text(PyUnicode_FromString(name));
  if (!name_text || !PyList_Check(all.get()) || PyList_Append(all.get(), name_text.get()) < 0) {
    return AddFailure::kAll;
  }
  if (PyObject_SetAttrString(module, name, value) < 0) return AddFailure::kAttribute;
  return AddFailure::kNone;
}

}  // namespace

PyMODINIT_FUNC PyInit_vantrel() {
  // Thread support is always initialised since Python 3.7; nothing to do for it.
  // A ChaCha20 kernel forced (for a test or a benchmark) that this CPU
  // cannot run is refused here, loudly, rather than replaced in silence.
  try {
    vantrel::kernel_from_environment();
  } catch (const std::invalid_argument& error) {
    // The message quotes the environment's bytes, which need not be UTF-8.
    PyRef message(
        PyUnicode_DecodeUTF8(error.what(), static_cast<Py_ssize_t>(std::strlen(error.what())), "backslashreplace"));
    if (message) PyErr_SetObject(PyExc_ImportError, message.get());
    return nullptr;
  }
  PyRef module(PyModule_Create2(&vantrel_module, 1013));
  if (!module) return nullptr;

  PyRef empty_doc(PyUnicode_FromStringAndSize("", 0));
  if (!empty_doc) return nullptr;
  // "could not append __name__ to __all__" is the module's fixed text for
  // either name (__doc__ here, PathSampler below), not a name of its own.
  switch (add_to_module(module.get(), "__doc__", empty_doc.get())) {
    case AddFailure::kNone: break;
    case AddFailure::kAll: raise_import_error("could not append __name__ to __all__"); return nullptr;
    case AddFailure::kAttribute: raise_import_error("Failed to add doc for module"); return nullptr;
  }

  if (vantrel::py::ready_path_sampler_type() < 0) {
    PyErr_Print();
    raise_import_error("An error occurred while initializing class PathSampler");
    return nullptr;
  }
  switch (add_to_module(module.get(), "PathSampler", reinterpret_cast<PyObject*>(PathSamplerType))) {
    case AddFailure::kNone: break;
    case AddFailure::kAll: raise_import_error("could not append __name__ to __all__"); return nullptr;
    case AddFailure::kAttribute: return nullptr;
  }
  return module.release();
}
