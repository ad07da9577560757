#include "python/py_released.hpp"

namespace vantrel::py {

void check_signals() {
  if (PyErr_CheckSignals() < 0) throw PythonErrorAlreadySet{};
}

}  // namespace vantrel::py
