// PathSampler's time-respecting walks: temporal() for a sampler whose steps
// follow the times of the facts, forward or backward in time.
#pragma once

#include <cstdint>
#include <memory>

#include "graph/temporal_step.hpp"
#include "python/py_errors.hpp"

namespace vantrel::py {

PyObject* PathSampler_temporal(PyObject* object, PyObject* args, PyObject* kwargs);
PyObject* PathSampler_triple_times(PyObject* object, PyObject* args, PyObject* kwargs);

// Times given as temporal() and from_ids() take them, `count` of them (one
// per triple of the graph as read): int64 from an integer array or a
// sequence of ints, float64 from a float array or a sequence with any other
// number, each finite. False with the exception set.
bool convert_times(PyObject* given, std::uint64_t count, std::shared_ptr<const TripleTimes>& out);

}  // namespace vantrel::py
