// PathSampler's methods that read and write files: snapshots (load, save)
// and walk corpora (write_walks).
#pragma once

#include "python/py_errors.hpp"

namespace vantrel::py {

PyObject* PathSampler_load(PyObject* type, PyObject* args, PyObject* kwargs);
PyObject* PathSampler_save(PyObject* object, PyObject* args, PyObject* kwargs);
PyObject* PathSampler_write_walks(PyObject* object, PyObject* args, PyObject* kwargs);

}  // namespace vantrel::py
