// Opening a snapshot (snapshot/format.hpp): mapping the file read-only
// and shared, so that every process that opens the same snapshot reads one
// copy in the page cache, after checking all of it (docs/snapshot-format.md
// says what).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/interrupt.hpp"
#include "graph/kg.hpp"

namespace vantrel {

// Opens the snapshot at `path`: maps it, checks all of it (sizes, checksum,
// every index, the labels' UTF-8), and returns the graph as views into the
// mapping. Throws IoError when the file cannot be opened or read (as the
// triple reader does), SnapshotError when it is not a valid snapshot.
KG load_snapshot(const std::string& path, const InterruptPoll& poll = {});

// The graph of the snapshot bytes [data, data + size) (8-byte aligned),
// checked as load_snapshot checks a file; its views keep `keeper` alive.
// Throws SnapshotError.
KG snapshot_graph(const char* data, std::uint64_t size, std::shared_ptr<const void> keeper,
                  const InterruptPoll& poll = {});

}  // namespace vantrel
