// PathSampler's methods that take labels: node_ids (node labels to their
// ids), restrict (relation names to a sampler that walks only some
// relations, or one direction) and metapath (relation tokens to a sampler
// whose steps follow them in turn).
#pragma once

#include "python/py_errors.hpp"

namespace vantrel::py {

PyObject* PathSampler_node_ids(PyObject* object, PyObject* args, PyObject* kwargs);
PyObject* PathSampler_restrict(PyObject* object, PyObject* args, PyObject* kwargs);
PyObject* PathSampler_metapath(PyObject* object, PyObject* args, PyObject* kwargs);

}  // namespace vantrel::py
