// PathSampler's time-respecting walks: temporal() for a sampler whose steps
// follow the times of the facts, forward or backward in time.
#pragma once

#include "python/py_errors.hpp"

namespace vantrel::py {

PyObject* PathSampler_temporal(PyObject* object, PyObject* args, PyObject* kwargs);

}  // namespace vantrel::py
