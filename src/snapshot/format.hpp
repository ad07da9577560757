// The snapshot format: the header, its content bits, the sections and
// where each lies, and the checksum. docs/snapshot-format.md describes it;
// snapshot/writer writes it, snapshot/reader checks and maps it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/interrupt.hpp"
#include "graph/graph.hpp"

namespace vantrel {

// The newest version of the snapshot format, which this code reads with
// every version before it. It writes version 4 for a sampler that knows the
// times of its triples, version 3 for a metapath sampler, and version 2
// otherwise, so that the files of other samplers are as before.
inline constexpr std::uint32_t kSnapshotVersion = 4;
inline constexpr std::uint32_t kTimesVersion = 4;
inline constexpr std::uint32_t kMetapathVersion = 3;
inline constexpr std::uint32_t kPlainVersion = 2;

namespace snapshot_format {

inline constexpr char kMagic[8] = {'V', 'T', 'R', 'L', 'S', 'N', 'A', 'P'};
inline constexpr std::uint32_t kByteOrderMark = 0x01020304;
inline constexpr std::uint64_t kHeaderSize = 128;
inline constexpr std::uint64_t kSectionAlignment = 64;

struct Header {
  char magic[8];
  std::uint32_t version;
  std::uint32_t byte_order;
  std::uint32_t id_width;
  std::uint32_t header_size;
  std::uint64_t edge_count;
  std::uint64_t node_count;
  std::uint64_t relation_count;
  std::uint64_t node_label_bytes;
  std::uint64_t relation_label_bytes;
  std::uint64_t file_size;
  std::uint64_t checksum;
  std::uint32_t
      restriction;  // 0: every node and relation has edges; 1 + Direction: it may lack some, of that direction
  // Version 2 on; zero in version 1.
  std::uint32_t contents;  // kHasHeads | kHasSource | ...: which of the later sections the file holds
  double p;                // biased walks: node2vec's p and q; temporal walks: the window and the decay
  double q;
  std::uint64_t source_edge_count;  // the graph as read, of a restricted graph: its triples
  // Version 3 on; zero before.
  std::uint64_t metapath_length;  // a metapath sampler: the keys of its pattern
  std::uint8_t reserved[8];       // zero
};
static_assert(sizeof(Header) == kHeaderSize);

// Where the header's fields of version 2 begin (zero in version 1), and
// where its reserved bytes (zero in every version) begin.
inline constexpr std::uint64_t kVersion2FieldsStart = offsetof(Header, contents);
inline constexpr std::uint64_t kVersion3FieldsStart = offsetof(Header, metapath_length);
inline constexpr std::uint64_t kReservedStart = offsetof(Header, reserved);

// The bits of Header::contents.
inline constexpr std::uint32_t kHasHeads = 1;            // the heads of the graph's triples, in input order
inline constexpr std::uint32_t kHasSource = 2;           // the graph as read that a restricted graph came from
inline constexpr std::uint32_t kSourceHasHeads = 4;      // ... with the heads of its triples
inline constexpr std::uint32_t kSourceMayLackEdges = 8;  // ... which may have nodes or relations without edges
inline constexpr std::uint32_t kBiased = 16;             // walks are biased (p, q)
inline constexpr std::uint32_t kWeighted = 32;           // ... by the weight of each entry
inline constexpr std::uint32_t kMetapath = 64;           // walks follow a pattern of relation tokens (version 3 on)
inline constexpr std::uint32_t kHasTimes = 128;          // the time of each triple of the graph as read (version 4 on)
inline constexpr std::uint32_t kIntegerTimes = 256;      // ... int64, not f64
inline constexpr std::uint32_t kTemporal = 512;          // walks respect the times
inline constexpr std::uint32_t kTimeBackward = 1024;     // ... going back in time
inline constexpr std::uint32_t kTimeStrict = 2048;       // ... never to a fact of the same time
inline constexpr std::uint32_t kTimeWindow = 4096;       // ... within the window in p
inline constexpr std::uint32_t kTimeDecay = 8192;        // ... with the exponential bias of the decay in q
inline constexpr std::uint32_t kKnownContents = 16383;
inline constexpr std::uint32_t kTimeContents = 16256;  // the bits of version 4: times, and the rule of walks by them
inline constexpr std::uint32_t kTemporalRule = 15872;  // the bits of the rule, for walks that respect the times

// The sections of a snapshot, in file order: where each starts and how long it is.
enum Section {
  kCells,
  kBlocks,
  kNodeOffsets,
  kRelationOffsets,
  kNodeBytes,
  kRelationBytes,
  kNodeAscii,
  kRelationAscii,
  // Version 2 on.
  kHeads,            // edges ids: each triple's head node, in input order
  kSourceCells,      // the graph as read, of a restricted graph: its cells,
  kSourceBlocks,     // ... its node blocks,
  kSourceHeads,      // ... its heads,
  kSourceRelations,  // ... and which of its relations the restriction keeps, a bit each in u64 words
  kWeights,          // biased: each entry's weight, f64
  // Version 3 on.
  kMetapathKeys,  // a metapath sampler: its pattern, a step key (2r, or 2r + 1 backward) each, u64
  // Version 4 on.
  kTimes,  // the time of each triple of the graph as read, in input order, i64 or f64
  kSectionCount
};

struct Layout {
  std::uint64_t start[kSectionCount];
  std::uint64_t length[kSectionCount];
  std::uint64_t end;  // the file size
};

inline std::uint64_t round_up(std::uint64_t value) {
  return (value + kSectionAlignment - 1) / kSectionAlignment * kSectionAlignment;
}

// The direction of the graph a header describes (its restriction checked before).
inline Direction direction_of(const Header& header) {
  return header.restriction == 0 ? Direction::kBoth : static_cast<Direction>(header.restriction - 1);
}

// The layout for the header's counts; false if a size overflows.
bool layout_of(const Header& header, Layout& layout);

// The checksum of `pieces` taken as one run of bytes (each piece but the
// last a multiple of 32 bytes long): segments of 1 MiB on every CPU,
// combined in order.
std::uint64_t checksum_of_pieces(std::span<const std::string_view> pieces, const InterruptPoll& poll);

}  // namespace snapshot_format

// The checksum of a snapshot's contents: 64-bit, four interleaved lanes of
// multiply-rotate over little-endian words, then mixed; fast enough to run
// over every byte on every load.
std::uint64_t snapshot_checksum(std::string_view bytes, const InterruptPoll& poll = {});

}  // namespace vantrel
