// PathSampler's biased walks: biased() for a sampler whose steps are
// weighted (edges, relations, nodes) and node2vec's p and q, and
// triple_ids(), the graph as read as an array to compute weights from.
#pragma once

#include "python/py_errors.hpp"

namespace vantrel::py {

PyObject* PathSampler_biased(PyObject* object, PyObject* args, PyObject* kwargs);
PyObject* PathSampler_triple_ids(PyObject* object, PyObject* args, PyObject* kwargs);

}  // namespace vantrel::py
