// The PathSampler type of the module.
#pragma once

#include "python/py_errors.hpp"

namespace vantrel::py {

extern PyTypeObject PathSamplerType;

// Fills the type object and readies it (and the types its methods return);
// done once per process. -1 with an exception set on failure.
int ready_path_sampler_type();

}  // namespace vantrel::py
