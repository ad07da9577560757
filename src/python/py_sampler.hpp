// The PathSampler type of the module.
#pragma once

#include "python/py_errors.hpp"

namespace vantrel::py {

extern PyTypeObject* PathSamplerType;

// Makes the type (and the types its methods return);
// done once per process. -1 with an exception set on failure.
int ready_path_sampler_type();

}  // namespace vantrel::py
