// PathSampler's constructors from the inputs users have: read() for files
// and file objects of triples in several formats, from_ids() for arrays of
// integer triples, from_arrow() for tables (the Arrow C stream interface).
#pragma once

#include "python/py_errors.hpp"

namespace vantrel::py {

PyObject* PathSampler_read(PyObject* type, PyObject* args, PyObject* kwargs);
PyObject* PathSampler_from_ids(PyObject* type, PyObject* args, PyObject* kwargs);
PyObject* PathSampler_from_arrow(PyObject* type, PyObject* args, PyObject* kwargs);

}  // namespace vantrel::py
