#include "snapshot.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "atomic_file.hpp"
#include "errors.hpp"
#include "labels.hpp"
#include "parallel.hpp"
#include "triple.hpp"

namespace vantrel {

namespace {

constexpr char kMagic[8] = {'V', 'T', 'R', 'L', 'S', 'N', 'A', 'P'};
constexpr std::uint32_t kByteOrderMark = 0x01020304;
constexpr std::uint64_t kHeaderSize = 128;
constexpr std::uint64_t kSectionAlignment = 64;

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
  std::uint8_t reserved[kHeaderSize - 80];
};
static_assert(sizeof(Header) == kHeaderSize);

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
  kSectionCount
};

struct Layout {
  std::uint64_t start[kSectionCount];
  std::uint64_t length[kSectionCount];
  std::uint64_t end;  // the file size
};

std::uint64_t round_up(std::uint64_t value) { return (value + kSectionAlignment - 1) / kSectionAlignment * kSectionAlignment; }

// The layout for the header's counts; false if a size overflows.
bool layout_of(const Header& header, Layout& layout) {
  const std::uint64_t width = header.id_width;
  std::uint64_t cells, cell_bytes, block_bytes, node_offsets, relation_offsets;
  if (__builtin_mul_overflow(header.edge_count, 2, &cells) ||
      __builtin_add_overflow(cells, header.node_count, &cells) ||
      __builtin_mul_overflow(cells, 3 * width, &cell_bytes) ||
      __builtin_mul_overflow(header.node_count, width, &block_bytes) ||
      __builtin_add_overflow(header.node_count, 1, &node_offsets) ||
      __builtin_mul_overflow(node_offsets, 8, &node_offsets) ||
      __builtin_add_overflow(header.relation_count, 1, &relation_offsets) ||
      __builtin_mul_overflow(relation_offsets, 8, &relation_offsets)) {
    return false;
  }
  const std::uint64_t lengths[kSectionCount] = {cell_bytes, block_bytes, node_offsets, relation_offsets,
                                                header.node_label_bytes, header.relation_label_bytes,
                                                header.node_count, header.relation_count};
  std::uint64_t position = kHeaderSize;
  for (int s = 0; s < kSectionCount; ++s) {
    layout.start[s] = position;
    layout.length[s] = lengths[s];
    if (__builtin_add_overflow(position, lengths[s], &position) || position > UINT64_MAX - kSectionAlignment) {
      return false;
    }
    position = round_up(position);
  }
  layout.end = position;
  return true;
}

constexpr std::uint64_t kChecksumMultiplier = 0x9E3779B97F4A7C15ull;

std::uint64_t mix(std::uint64_t h) {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 33;
  return h;
}

// The checksum of one segment: four lanes over its whole 32-byte blocks.
class Checksum {
 public:
  void update(const char* bytes, std::size_t size) {
    for (std::size_t at = 0; at + 32 <= size; at += 32) {
      for (int lane = 0; lane < 4; ++lane) {
        std::uint64_t word;
        std::memcpy(&word, bytes + at + 8 * lane, 8);
        lanes_[lane] = std::rotl(lanes_[lane] ^ word, 29) * kChecksumMultiplier;
      }
    }
    length_ += size;
  }
  std::uint64_t value() const {
    std::uint64_t h = length_;
    for (const std::uint64_t lane : lanes_) h = mix(h ^ lane) * kChecksumMultiplier;
    return mix(h);
  }

 private:
  std::uint64_t lanes_[4] = {1, 2, 3, 4};
  std::uint64_t length_ = 0;
};

// ---------------------------------------------------------------------------
// Saving.

template <class T>
std::string_view bytes_of(const ArrayRegion<T>& region) {
  return {reinterpret_cast<const char*>(region.data()), region.size() * sizeof(T)};
}

// Writes one section and the zeros that pad it to the next section.
void write_section(int fd, std::string_view bytes) {
  write_fully(fd, bytes);
  const std::size_t rest = bytes.size() % kSectionAlignment;
  if (rest > 0) {
    const char zeros[kSectionAlignment] = {};
    write_fully(fd, std::string_view(zeros, kSectionAlignment - rest));
  }
}

template <class Id>
void save_graph(const BasicGraph<Id>& graph, int fd) {
  Header header{};
  std::memcpy(header.magic, kMagic, sizeof kMagic);
  header.version = kSnapshotVersion;
  header.byte_order = kByteOrderMark;
  header.id_width = sizeof(Id);
  header.header_size = kHeaderSize;
  header.edge_count = graph.edge_count();
  header.node_count = graph.node_count();
  header.relation_count = graph.relation_count();
  header.node_label_bytes = graph.node_labels().bytes().size();
  header.relation_label_bytes = graph.relation_labels().bytes().size();
  Layout layout;
  layout_of(header, layout);
  header.file_size = layout.end;
  // The header goes first with a zero checksum, then again once it is known.
  write_fully(fd, std::string_view(reinterpret_cast<const char*>(&header), sizeof header));
  const std::string_view sections[kSectionCount] = {
      bytes_of(graph.cells()),
      bytes_of(graph.blocks()),
      bytes_of(graph.node_labels().offsets()),
      bytes_of(graph.relation_labels().offsets()),
      bytes_of(graph.node_labels().bytes()),
      bytes_of(graph.relation_labels().bytes()),
      bytes_of(graph.node_labels().ascii_flags()),
      bytes_of(graph.relation_labels().ascii_flags()),
  };
  for (const std::string_view section : sections) write_section(fd, section);
  // The checksum is read back from the file just written (in the page cache).
  void* written = ::mmap(nullptr, layout.end, PROT_READ, MAP_SHARED, fd, 0);
  if (written == MAP_FAILED) throw WriteError(errno);
  header.checksum = snapshot_checksum(
      std::string_view(static_cast<const char*>(written) + kHeaderSize, layout.end - kHeaderSize));
  ::munmap(written, layout.end);
  if (::pwrite(fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) throw WriteError(errno);
}

// ---------------------------------------------------------------------------
// Loading.

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
                  std::uint64_t byte_count, const std::uint8_t* ascii) {
  if (offsets[0] != 0) throw SnapshotError(std::string(what) + " label offsets do not start at 0");
  if (offsets[count] != byte_count) {
    throw SnapshotError(std::string(what) + " label offsets end at " + count_text(offsets[count]) + ", not at " +
                        count_text(byte_count) + " bytes");
  }
  constexpr std::uint64_t kLabelsPerTask = std::uint64_t{1} << 16;
  run_tasks((count + kLabelsPerTask - 1) / kLabelsPerTask, available_cpus(), [&](std::uint64_t task,
                                                                                const InterruptPoll&) {
    for (std::uint64_t i = task * kLabelsPerTask; i < std::min(count, (task + 1) * kLabelsPerTask); ++i) {
      if (offsets[i + 1] < offsets[i] || offsets[i + 1] > byte_count) {
        throw SnapshotError(std::string(what) + " label offsets go backwards at label " + count_text(i));
      }
      const std::string_view label(bytes + offsets[i], static_cast<std::size_t>(offsets[i + 1] - offsets[i]));
      if (!is_valid_utf8(label)) throw SnapshotError(std::string(what) + " label " + count_text(i) + " is not UTF-8");
      if (ascii[i] != (is_ascii(label) ? 1 : 0)) {
        throw SnapshotError(std::string(what) + " label " + count_text(i) + " has a wrong ASCII flag");
      }
    }
  }, {});
}

// Checks the edge cells of the blocks in cells [begin, end): each names a
// block start, a relation and a twin position in range.
template <class Id>
void check_edges(const Header& header, const Cell<Id>* cells, const std::vector<std::uint64_t>& block_starts,
                 std::uint64_t begin, std::uint64_t end, std::uint64_t cell_count) {
  constexpr std::uint64_t kAhead = 64;
  std::uint64_t node = 0;
  std::uint64_t forward_end = 0;  // where the current node's forward entries end
  std::uint64_t block_end = begin;  // where the current node's block ends
  for (std::uint64_t cell = begin; cell < end; ++cell) {
    if (cell + kAhead < end) {
      const std::uint64_t ahead = cells[cell + kAhead].edge.block;  // a header's count when not an edge
      if (ahead < cell_count) __builtin_prefetch(&cells[ahead]);
    }
    if (cell == block_end) {  // a header, checked before
      const HeaderCell<Id>& header_cell = cells[cell].header;
      node = header_cell.node;
      forward_end = cell + 1 + header_cell.forward_count;
      block_end = forward_end + header_cell.backward_count;
      continue;
    }
    const EdgeCell<Id>& edge = cells[cell].edge;
    const std::uint64_t other = edge.block;
    if (other >= cell_count || ((block_starts[other / 64] >> (other % 64)) & 1) == 0) {
      throw SnapshotError("an edge of node " + count_text(node) + " leads to no node's block");
    }
    if (edge.relation >= header.relation_count) {
      throw SnapshotError("an edge of node " + count_text(node) + " names no relation");
    }
    const HeaderCell<Id>& far_end = cells[other].header;
    const std::uint64_t opposite = cell < forward_end ? far_end.backward_count : far_end.forward_count;
    if (edge.twin >= opposite) {
      throw SnapshotError("an edge of node " + count_text(node) + " has its twin out of range");
    }
  }
}

// Checks every block and edge cell, on every CPU in runs of nodes: blocks
// follow each other as the node table says, each header names its node,
// the blocks hold each edge once in each direction, and every edge cell
// names a block start, a relation and a twin position in range.
template <class Id>
void check_graph(const Header& header, const Cell<Id>* cells, const Id* blocks, const InterruptPoll& poll) {
  const std::uint64_t nodes = header.node_count;
  const std::uint64_t cell_count = nodes + 2 * header.edge_count;
  if (nodes > 0 && blocks[0] != 0) throw SnapshotError("node 0's block is not at the first cell");
  std::vector<std::uint64_t> block_starts((cell_count + 63) / 64, 0);
  std::atomic<std::uint64_t> forward_total{0};
  std::atomic<std::uint64_t> backward_total{0};
  constexpr std::uint64_t kNodesPerTask = std::uint64_t{1} << 16;
  const std::uint64_t tasks = (nodes + kNodesPerTask - 1) / kNodesPerTask;
  // Each block ends where the next node's begins (the last at the last cell).
  run_tasks(tasks, available_cpus(), [&](std::uint64_t task, const InterruptPoll& task_poll) {
    std::uint64_t forward = 0;
    std::uint64_t backward = 0;
    for (std::uint64_t node = task * kNodesPerTask; node < std::min(nodes, (task + 1) * kNodesPerTask); ++node) {
      const std::uint64_t position = blocks[node];
      const std::uint64_t next = node + 1 < nodes ? std::uint64_t{blocks[node + 1]} : cell_count;
      if (position >= cell_count) throw SnapshotError("node " + count_text(node) + "'s block is past the last cell");
      const HeaderCell<Id>& cell = cells[position].header;
      if (cell.node != node) throw SnapshotError("the block of node " + count_text(node) + " names another node");
      const std::uint64_t entries = std::uint64_t{cell.forward_count} + cell.backward_count;
      if (entries > cell_count - position - 1) {
        throw SnapshotError("the edges of node " + count_text(node) + " run past the last cell");
      }
      if (position + 1 + entries != next) {
        throw SnapshotError(node + 1 < nodes
                                ? "node " + count_text(node + 1) + "'s block is not where the blocks before it end"
                                : std::string("the last node's block does not end at the last cell"));
      }
      forward += cell.forward_count;
      backward += cell.backward_count;
      std::atomic_ref<std::uint64_t>(block_starts[position / 64]).fetch_or(std::uint64_t{1} << (position % 64),
                                                                           std::memory_order_relaxed);
    }
    forward_total += forward;
    backward_total += backward;
    task_poll();
  }, poll);
  if (forward_total != header.edge_count || backward_total != header.edge_count) {
    throw SnapshotError("the node blocks do not hold each edge once in each direction");
  }
  // Then every edge cell, in cell order: the far ends' headers are read at
  // random, so each is asked for a few cells ahead, and the reads overlap.
  run_tasks(tasks, available_cpus(), [&](std::uint64_t task, const InterruptPoll& task_poll) {
    const std::uint64_t first_node = task * kNodesPerTask;
    const std::uint64_t last_node = std::min(nodes, first_node + kNodesPerTask);
    const std::uint64_t begin = blocks[first_node];
    const std::uint64_t end = last_node < nodes ? std::uint64_t{blocks[last_node]} : cell_count;
    check_edges(header, cells, block_starts, begin, end, cell_count);
    task_poll();
  }, poll);
}

template <class Id>
KG graph_from(const Contents& contents, const Header& header, const Layout& layout, const InterruptPoll& poll) {
  auto cells = view_of<Cell<Id>>(contents, layout, kCells);
  auto blocks = view_of<Id>(contents, layout, kBlocks);
  if (header.id_width == 4 && cells.size() > UINT32_MAX - 1) {
    throw SnapshotError("32-bit ids cannot address " + count_text(cells.size()) + " cells");
  }
  check_graph(header, cells.data(), blocks.data(), poll);
  return KG(BasicGraph<Id>(std::move(cells), std::move(blocks),
                           LabelList(view_of<char>(contents, layout, kNodeBytes),
                                     view_of<std::uint64_t>(contents, layout, kNodeOffsets),
                                     view_of<std::uint8_t>(contents, layout, kNodeAscii)),
                           LabelList(view_of<char>(contents, layout, kRelationBytes),
                                     view_of<std::uint64_t>(contents, layout, kRelationOffsets),
                                     view_of<std::uint8_t>(contents, layout, kRelationAscii))));
}

}  // namespace

std::uint64_t snapshot_checksum(std::string_view bytes) {
  // Segments of 1 MiB checksummed on every CPU, then combined in order.
  constexpr std::uint64_t kSegment = std::uint64_t{1} << 20;
  const std::uint64_t size = bytes.size() / 32 * 32;
  const std::uint64_t segments = (size + kSegment - 1) / kSegment;
  std::vector<std::uint64_t> values(segments);
  run_tasks(segments, available_cpus(), [&](std::uint64_t segment, const InterruptPoll&) {
    Checksum checksum;
    checksum.update(bytes.data() + segment * kSegment, std::min(kSegment, size - segment * kSegment));
    values[segment] = checksum.value();
  }, {});
  std::uint64_t h = size;
  for (const std::uint64_t value : values) h = mix(h ^ value) * kChecksumMultiplier;
  return mix(h);
}

void save_snapshot(const KG& kg, const std::string& path) {
  AtomicFile file(path);
  kg.visit([&](const auto& graph) { save_graph(graph, file.fd()); });
  file.commit();
}

KG load_snapshot(const std::string& path, const InterruptPoll& poll) {
  const ReadOnlyFile file(path, poll);
  const int fd = file.fd();
  struct stat status;
  if (::fstat(fd, &status) != 0) throw IoError::from_os(errno);
  if (S_ISDIR(status.st_mode)) throw IoError::from_os(EISDIR);
  if (!S_ISREG(status.st_mode)) throw SnapshotError("not a regular file");
  const auto size = static_cast<std::uint64_t>(status.st_size);
  check_holds_header(size);
  void* data = ::mmap(nullptr, size, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0);
  if (data == MAP_FAILED) throw IoError::from_os(errno);
  auto mapping = std::make_shared<const Mapping>(static_cast<const char*>(data), size);
  const char* bytes = mapping->data;
  return snapshot_graph(bytes, size, std::move(mapping), poll);
}

KG snapshot_graph(const char* data, std::uint64_t size, std::shared_ptr<const void> keeper,
                  const InterruptPoll& poll) {
  const Contents contents{data, size, std::move(keeper)};
  check_holds_header(size);
  Header header;
  std::memcpy(&header, data, sizeof header);
  if (std::memcmp(header.magic, kMagic, sizeof kMagic) != 0) throw SnapshotError("not a vantrel snapshot (no magic number)");
  if (header.byte_order != kByteOrderMark) throw SnapshotError("written on a machine of the other byte order");
  if (header.version > kSnapshotVersion) {
    throw SnapshotError("version " + count_text(header.version) + " is newer than this vantrel reads (" +
                        count_text(kSnapshotVersion) + ")");
  }
  if (header.version != kSnapshotVersion) throw SnapshotError("unknown version " + count_text(header.version));
  if (header.id_width != 4 && header.id_width != 8) {
    throw SnapshotError("id width " + count_text(header.id_width) + " is neither 4 nor 8");
  }
  if (header.header_size != kHeaderSize) throw SnapshotError("header size " + count_text(header.header_size));
  Layout layout;
  if (!layout_of(header, layout) || header.file_size != layout.end || size != layout.end) {
    throw SnapshotError("the file is " + count_text(size) + " bytes; its header says " + count_text(header.file_size) +
                        " and its counts add up to " + (layout_of(header, layout) ? count_text(layout.end) : "more"));
  }
  if (snapshot_checksum(std::string_view(data + kHeaderSize, size - kHeaderSize)) != header.checksum) {
    throw SnapshotError("checksum mismatch: the contents are corrupted");
  }
  check_labels("node", reinterpret_cast<const std::uint64_t*>(data + layout.start[kNodeOffsets]),
               header.node_count, data + layout.start[kNodeBytes], header.node_label_bytes,
               reinterpret_cast<const std::uint8_t*>(data + layout.start[kNodeAscii]));
  check_labels("relation", reinterpret_cast<const std::uint64_t*>(data + layout.start[kRelationOffsets]),
               header.relation_count, data + layout.start[kRelationBytes], header.relation_label_bytes,
               reinterpret_cast<const std::uint8_t*>(data + layout.start[kRelationAscii]));
  return header.id_width == 4 ? graph_from<std::uint32_t>(contents, header, layout, poll)
                              : graph_from<std::uint64_t>(contents, header, layout, poll);
}

}  // namespace vantrel
