// Writing a graph to a snapshot (snapshot/format.hpp).
#pragma once

#include <string>

#include "core/interrupt.hpp"
#include "graph/kg.hpp"

namespace vantrel {

// Writes `kg` to a snapshot at `path` as an OutputFile writes (a regular
// file whole or not at all), calling `poll` now and then. Throws WriteError.
void save_snapshot(const KG& kg, const std::string& path, const InterruptPoll& poll = {});

}  // namespace vantrel
