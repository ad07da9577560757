// WalkBatches: walks by number in batches of a fixed number of walks, as
// PathSampler.batches() hands them to training loops. A read-only sequence
// whose item i is the batch of walks first + i * batch_size onwards, drawn
// when asked for, so that any process holding it (a DataLoader's worker)
// draws any batch, the same batch whoever draws it.
#pragma once

#include "python/py_errors.hpp"

namespace vantrel::py {

extern PyTypeObject* WalkBatchesType;

// PathSampler.batches(first, stop, batch_size, *, ..., tensors=False).
PyObject* PathSampler_batches(PyObject* sampler, PyObject* args, PyObject* kwargs);

// Makes WalkBatchesType; done once per process. -1 with an exception set on failure.
int ready_walk_batches_type();

}  // namespace vantrel::py
