#include "snapshot/reader.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/parallel.hpp"
#include "core/utf8.hpp"
#include "graph/bias.hpp"
#include "graph/labels.hpp"
#include "graph/metapath.hpp"
#include "graph/sampler_restriction.hpp"
#include "graph/temporal.hpp"
#include "snapshot/format.hpp"
#include "snapshot/graph_check.hpp"

namespace vantrel {

namespace {

using namespace snapshot_format;

// A read-only shared mapping of a whole file, unmapped with the last view of it.
struct Mapping {
  Mapping(const char* mapped, std::size_t length) : data(mapped), size(length) {}
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() { ::munmap(const_cast<char*>(data), size); }
  const char* const data;
  const std::size_t size;
};

// The bytes a snapshot's views point into, and what keeps them alive.
struct Contents {
  const char* data;
  std::uint64_t size;
  std::shared_ptr<const void> keeper;
};

std::string count_text(std::uint64_t value) { return std::to_string(value); }

// Refuses a file too short to hold a header.
void check_holds_header(std::uint64_t size) {
  if (size < kHeaderSize) {
    throw SnapshotError("the file is " + count_text(size) + " bytes, shorter than a snapshot header (" +
                        count_text(kHeaderSize) + ")");
  }
}

template <class T>
ArrayRegion<T> view_of(const Contents& contents, const Layout& layout, Section section) {
  return ArrayRegion<T>::view(reinterpret_cast<const T*>(contents.data + layout.start[section]),
                              layout.length[section] / sizeof(T), contents.keeper);
}

// Checks the labels of one list, on every CPU in runs of labels: offsets
// from 0, in order, ending at the byte count; each label valid UTF-8 with
// its ASCII flag right.
void check_labels(const char* what, const std::uint64_t* offsets, std::uint64_t count, const char* bytes,
                  std::uint64_t byte_count, const std::uint8_t* ascii, const InterruptPoll& poll) {
  if (offsets[0] != 0) throw SnapshotError(std::string(what) + " label offsets do not start at 0");
  if (offsets[count] != byte_count) {
    throw SnapshotError(std::string(what) + " label offsets end at " + count_text(offsets[count]) + ", not at " +
                        count_text(byte_count) + " bytes");
  }
  constexpr std::uint64_t kLabelsPerTask = std::uint64_t{1} << 16;
  run_tasks((count + kLabelsPerTask - 1) / kLabelsPerTask, available_cpus(),
            [&](std::uint64_t task, const InterruptPoll& task_poll) {
              task_poll();
              for (std::uint64_t i = task * kLabelsPerTask; i < std::min(count, (task + 1) * kLabelsPerTask); ++i) {
                if (offsets[i + 1] < offsets[i] || offsets[i + 1] > byte_count) {
                  throw SnapshotError(std::string(what) + " label offsets go backwards at label " + count_text(i));
                }
                const std::string_view label(bytes + offsets[i], static_cast<std::size_t>(offsets[i + 1] - offsets[i]));
                if (!is_valid_utf8(label))
                  throw SnapshotError(std::string(what) + " label " + count_text(i) + " is not UTF-8");
                if (ascii[i] != (is_ascii(label) ? 1 : 0)) {
                  throw SnapshotError(std::string(what) + " label " + count_text(i) + " has a wrong ASCII flag");
                }
              }
            },
            poll);
}

// Refuses a file with anything but zeros where the format has none: the
// header's reserved bytes and the padding after each section.
void check_zeros(const Header& header, const char* data, const Layout& layout) {
  auto all_zero = [](const char* from, std::uint64_t length) {
    return std::all_of(from, from + length, [](char c) { return c == 0; });
  };
  if (!all_zero(reinterpret_cast<const char*>(header.reserved), sizeof header.reserved)) {
    throw SnapshotError("header bytes " + count_text(kReservedStart) + " to " + count_text(kHeaderSize - 1) +
                        " are not zero");
  }
  for (int s = 0; s < kSectionCount; ++s) {
    const std::uint64_t end = layout.start[s] + layout.length[s];
    const std::uint64_t next = s + 1 < kSectionCount ? layout.start[s + 1] : layout.end;
    if (!all_zero(data + end, next - end)) {
      throw SnapshotError("the padding after section " + count_text(s) + " is not zero");
    }
  }
}

// Refuses header fields of version 2 that do not fit together: unknown
// contents, a source without a restriction, p and q that are not those of
// biased walks. Version 1 has none of them (its bytes from the first
// field of version 2 on are zero).
void check_contents(const Header& header) {
  const char* raw = reinterpret_cast<const char*>(&header);
  const std::uint64_t later_fields = header.version == 1 ? kVersion2FieldsStart : kVersion3FieldsStart;
  if (header.version < kMetapathVersion &&
      !std::all_of(raw + later_fields, raw + kHeaderSize, [](char c) { return c == 0; })) {
    throw SnapshotError("header bytes " + count_text(later_fields) + " to " + count_text(kHeaderSize - 1) +
                        " are not zero");
  }
  const std::uint32_t has = header.contents;
  if ((has & ~kKnownContents) != 0 || (header.version < kMetapathVersion && (has & kMetapath) != 0) ||
      (header.version < kTimesVersion && (has & kTimeContents) != 0)) {
    throw SnapshotError("unknown contents " + count_text(has));
  }
  const bool temporal = (has & kTemporal) != 0;
  if ((has & kTimeContents) != 0 && (has & kHasTimes) == 0) throw SnapshotError("a time rule without times");
  if ((has & kTemporalRule) != 0 && !temporal) throw SnapshotError("a time rule for walks regardless of time");
  if (temporal && (has & (kBiased | kMetapath)) != 0) {
    throw SnapshotError("a temporal sampler is never biased nor a metapath sampler");
  }
  if ((has & kHasTimes) != 0 && (has & (kHasHeads | kSourceHasHeads)) == 0) {
    throw SnapshotError("times need the heads of the triples");
  }
  if (((has & kMetapath) != 0) != (header.metapath_length != 0)) {
    throw SnapshotError("a metapath sampler's pattern must have keys, and only a metapath sampler's");
  }
  if ((has & kMetapath) != 0 && (has & kBiased) != 0) throw SnapshotError("a metapath sampler is never biased");
  if ((has & kHasSource) == 0 &&
      ((has & (kSourceHasHeads | kSourceMayLackEdges)) != 0 || header.source_edge_count != 0)) {
    throw SnapshotError("the header describes a source graph that the file does not hold");
  }
  if ((has & kHasSource) != 0 && (header.restriction == 0 || (has & kHasHeads) != 0)) {
    throw SnapshotError("a source graph is only for a restricted graph");
  }
  if (temporal) {
    const bool windowed = (has & kTimeWindow) != 0;
    const bool decayed = (has & kTimeDecay) != 0;
    if (windowed ? !is_window(header.p) : header.p != 0.0) throw SnapshotError("the window is no number >= 0");
    if (decayed ? !is_decay(header.q) : header.q != 0.0) throw SnapshotError("the decay is no positive finite number");
    return;
  }
  const bool biased = (has & kBiased) != 0;
  if ((has & kWeighted) != 0 && !biased) throw SnapshotError("weights for walks that are not biased");
  const bool usable = is_return_parameter(header.p) && is_return_parameter(header.q);
  if (biased ? !usable : (header.p != 0.0 || header.q != 0.0)) {
    throw SnapshotError(biased ? "p and q of biased walks must be positive and finite, and so must 1/p and 1/q"
                               : "p and q are set for walks that are not biased");
  }
}

// Checks the heads of a graph's triples: one node id per triple, each node
// the head of as many as its forward entries.
template <class Id>
void check_heads(const ArrayRegion<Id>& heads, const Cell<Id>* cells, const ArrayRegion<Id>& blocks, const char* what) {
  std::vector<std::uint64_t> counts(blocks.size(), 0);
  for (const Id head : heads.span()) {
    if (head >= blocks.size()) throw SnapshotError(std::string(what) + " names a head that is no node");
    ++counts[head];
  }
  for (std::uint64_t node = 0; node < blocks.size(); ++node) {
    if (counts[node] != cells[blocks[node]].header.forward_count) {
      throw SnapshotError(std::string(what) + " give node " + count_text(node) + " other triples than its block");
    }
  }
}

// The times of the triples, each float time checked finite.
std::shared_ptr<const TripleTimes> times_from(const Contents& contents, const Header& header, const Layout& layout) {
  if (header.contents & kIntegerTimes) {
    return std::make_shared<const TripleTimes>(view_of<std::int64_t>(contents, layout, kTimes));
  }
  auto floats = view_of<double>(contents, layout, kTimes);
  for (std::uint64_t triple = 0; triple < floats.size(); ++triple) {
    if (!std::isfinite(floats[triple])) {
      throw SnapshotError("triple " + count_text(triple) + " has a time that is not finite");
    }
  }
  return std::make_shared<const TripleTimes>(std::move(floats));
}

// The rule of a temporal sampler's walks.
TemporalRule rule_from(const Header& header) {
  const std::uint32_t has = header.contents;
  TemporalRule rule;
  rule.direction = (has & kTimeBackward) != 0 ? TimeDirection::kBackward : TimeDirection::kForward;
  rule.strict = (has & kTimeStrict) != 0;
  if (has & kTimeWindow) rule.window = header.p;
  if (has & kTimeDecay) rule.decay = header.q;
  return rule;
}

template <class Id>
KG graph_from(const Contents& contents, const Header& header, const Layout& layout, const InterruptPoll& poll) {
  auto cells = view_of<Cell<Id>>(contents, layout, kCells);
  auto blocks = view_of<Id>(contents, layout, kBlocks);
  if (header.id_width == 4 && !fits_32_bit_ids(cells.size(), header.relation_count)) {
    throw SnapshotError(cells.size() >= UINT32_MAX
                            ? "32-bit ids cannot address " + count_text(cells.size()) + " cells"
                            : "32-bit ids cannot name " + count_text(header.relation_count) + " relations");
  }
  check_blocks(
      cells.data(), blocks.data(),
      {header.node_count, header.edge_count, header.relation_count, direction_of(header), header.restriction != 0},
      poll);
  auto node_labels = [&] {
    return LabelList(view_of<char>(contents, layout, kNodeBytes),
                     view_of<std::uint64_t>(contents, layout, kNodeOffsets),
                     view_of<std::uint8_t>(contents, layout, kNodeAscii));
  };
  auto relation_labels = [&] {
    return LabelList(view_of<char>(contents, layout, kRelationBytes),
                     view_of<std::uint64_t>(contents, layout, kRelationOffsets),
                     view_of<std::uint8_t>(contents, layout, kRelationAscii));
  };
  auto heads = view_of<Id>(contents, layout, kHeads);
  if (!heads.empty()) check_heads(heads, cells.data(), blocks, "the heads of the triples");
  KG kg(BasicGraph<Id>(std::move(cells), std::move(blocks), node_labels(), relation_labels(), direction_of(header),
                       header.restriction != 0, std::move(heads)));
  if (header.contents & kHasSource) {
    // The graph as read, and what of it the restriction keeps.
    auto source_cells = view_of<Cell<Id>>(contents, layout, kSourceCells);
    auto source_blocks = view_of<Id>(contents, layout, kSourceBlocks);
    const bool source_may_lack_edges = (header.contents & kSourceMayLackEdges) != 0;
    check_blocks(
        source_cells.data(), source_blocks.data(),
        {header.node_count, header.source_edge_count, header.relation_count, Direction::kBoth, source_may_lack_edges},
        poll);
    auto source_heads = view_of<Id>(contents, layout, kSourceHeads);
    if (!source_heads.empty()) check_heads(source_heads, source_cells.data(), source_blocks, "the source's heads");
    auto source = std::make_shared<const KG>(BasicGraph<Id>(std::move(source_cells), std::move(source_blocks),
                                                            node_labels(), relation_labels(), Direction::kBoth,
                                                            source_may_lack_edges, std::move(source_heads)));
    auto restriction = std::make_shared<Restriction>();
    restriction->direction = direction_of(header);
    const auto* words = reinterpret_cast<const std::uint64_t*>(contents.data + layout.start[kSourceRelations]);
    restriction->relations.resize(header.relation_count);
    for (std::uint64_t r = 0; r < header.relation_count; ++r)
      restriction->relations[r] = (words[r / 64] >> (r % 64)) & 1;
    if (header.relation_count % 64 != 0 && (words[header.relation_count / 64] >> (header.relation_count % 64)) != 0) {
      throw SnapshotError("the kept relations name relations that are not there");
    }
    kg = KG::restricted_from(std::move(kg), std::move(source), std::move(restriction));
    try {
      check_restricted_from_source(kg);
    } catch (const std::logic_error&) {
      throw SnapshotError("the restricted graph is not what its restriction keeps of its source");
    }
  }
  if (header.contents & kBiased) {
    auto weights = view_of<double>(contents, layout, kWeights);
    for (std::uint64_t entry = 0; entry < weights.size(); ++entry) {
      if (!is_weight(weights[entry])) {
        throw SnapshotError("entry " + count_text(entry) + " has a weight that is not finite and >= 0");
      }
    }
    try {
      kg = kg.with_bias(
          bias_from_weights(kg, std::move(weights), (header.contents & kWeighted) != 0, header.p, header.q, poll));
    } catch (const BiasError& error) {
      throw SnapshotError(error.what());
    }
  }
  if (header.contents & kMetapath) {
    const auto keys = view_of<std::uint64_t>(contents, layout, kMetapathKeys);
    std::vector<StepKey> pattern(keys.data(), keys.data() + keys.size());
    for (const StepKey key : pattern) {
      if (key / 2 >= header.relation_count) throw SnapshotError("the pattern names a relation that is not there");
    }
    kg = kg.with_metapath(make_metapath(kg, std::move(pattern), poll));
  }
  if (header.contents & kHasTimes) {
    kg = kg.with_times(times_from(contents, header, layout));
    if (header.contents & kTemporal)
      kg = kg.with_temporal(make_temporal(kg, rule_from(header), kg.triple_times(), poll));
  }
  return kg;
}

}  // namespace

KG load_snapshot(const std::string& path, const InterruptPoll& poll) {
  // Opened without waiting for a writer, so that a FIFO is refused at once.
  const ReadOnlyFile file(path, poll, ReadOnlyFile::kNoWait);
  const int fd = file.fd();
  struct stat status;
  if (::fstat(fd, &status) != 0) throw IoError::from_os(errno);
  if (S_ISDIR(status.st_mode)) throw IoError::from_os(EISDIR);
  if (!S_ISREG(status.st_mode)) throw SnapshotError("not a regular file");
  const auto size = static_cast<std::uint64_t>(status.st_size);
  check_holds_header(size);
  void* data = ::mmap(nullptr, size, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0);
  if (data == MAP_FAILED && errno == ENOMEM) throw std::bad_alloc();  // no address space for it
  if (data == MAP_FAILED) throw IoError::from_os(errno);
  auto mapping = std::make_shared<const Mapping>(static_cast<const char*>(data), size);
  const char* bytes = mapping->data;
  return snapshot_graph(bytes, size, std::move(mapping), poll);
}

KG snapshot_graph(const char* data, std::uint64_t size, std::shared_ptr<const void> keeper, const InterruptPoll& poll) {
  const Contents contents{data, size, std::move(keeper)};
  check_holds_header(size);
  Header header;
  std::memcpy(&header, data, sizeof header);
  if (std::memcmp(header.magic, kMagic, sizeof kMagic) != 0)
    throw SnapshotError("not a vantrel snapshot (no magic number)");
  if (header.byte_order != kByteOrderMark) throw SnapshotError("written on a machine of the other byte order");
  if (header.version > kSnapshotVersion) {
    throw SnapshotError("version " + count_text(header.version) + " is newer than this vantrel reads (" +
                        count_text(kSnapshotVersion) + ")");
  }
  // Version 1 files (before biased walks, and before the graph as read was
  // recorded) load as they always did.
  if (header.version < 1) throw SnapshotError("unknown version " + count_text(header.version));
  if (header.id_width != 4 && header.id_width != 8) {
    throw SnapshotError("id width " + count_text(header.id_width) + " is neither 4 nor 8");
  }
  if (header.header_size != kHeaderSize) throw SnapshotError("header size " + count_text(header.header_size));
  if (header.restriction > 1 + static_cast<std::uint32_t>(Direction::kBackward)) {
    throw SnapshotError("unknown restriction " + count_text(header.restriction));
  }
  check_contents(header);
  Layout layout;
  if (!layout_of(header, layout) || header.file_size != layout.end || size != layout.end) {
    throw SnapshotError("the file is " + count_text(size) + " bytes; its header says " + count_text(header.file_size) +
                        " and its counts add up to " + (layout_of(header, layout) ? count_text(layout.end) : "more"));
  }
  check_zeros(header, data, layout);
  if (snapshot_checksum(std::string_view(data + kHeaderSize, size - kHeaderSize), poll) != header.checksum) {
    throw SnapshotError("checksum mismatch: the contents are corrupted");
  }
  check_labels("node", reinterpret_cast<const std::uint64_t*>(data + layout.start[kNodeOffsets]), header.node_count,
               data + layout.start[kNodeBytes], header.node_label_bytes,
               reinterpret_cast<const std::uint8_t*>(data + layout.start[kNodeAscii]), poll);
  check_labels("relation", reinterpret_cast<const std::uint64_t*>(data + layout.start[kRelationOffsets]),
               header.relation_count, data + layout.start[kRelationBytes], header.relation_label_bytes,
               reinterpret_cast<const std::uint8_t*>(data + layout.start[kRelationAscii]), poll);
  return header.id_width == 4 ? graph_from<std::uint32_t>(contents, header, layout, poll)
                              : graph_from<std::uint64_t>(contents, header, layout, poll);
}

}  // namespace vantrel
