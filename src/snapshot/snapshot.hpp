// Graph snapshots: a built graph written to one file, and opened again by
// mapping the file read-only and shared, so that every process that opens
// the same snapshot reads one copy in the page cache. The format, and what
// loading checks, are described in docs/snapshot-format.md.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/interrupt.hpp"
#include "graph/kg.hpp"

namespace vantrel {

// The version of the snapshot format that this code writes; it reads every
// version up to it.
inline constexpr std::uint32_t kSnapshotVersion = 2;

// Writes `kg` to a snapshot at `path` as an OutputFile writes (a regular
// file whole or not at all), calling `poll` now and then. Throws WriteError.
void save_snapshot(const KG& kg, const std::string& path, const InterruptPoll& poll = {});

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

// The checksum of a snapshot's contents: 64-bit, four interleaved lanes of
// multiply-rotate over little-endian words, then mixed; fast enough to run
// over every byte on every load.
std::uint64_t snapshot_checksum(std::string_view bytes, const InterruptPoll& poll = {});

}  // namespace vantrel
