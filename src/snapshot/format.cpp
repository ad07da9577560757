#include "snapshot/format.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "core/parallel.hpp"

namespace vantrel {

namespace snapshot_format {

namespace {

constexpr std::uint64_t kChecksumMultiplier = 0x9E3779B97F4A7C15ull;

// MurmurHash3's 64-bit finaliser: every input bit flips about half the
// output bits. Part of the snapshot format: never to change.
std::uint64_t avalanche(std::uint64_t h) {
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
    for (const std::uint64_t lane : lanes_) h = avalanche(h ^ lane) * kChecksumMultiplier;
    return avalanche(h);
  }

 private:
  std::uint64_t lanes_[4] = {1, 2, 3, 4};
  std::uint64_t length_ = 0;
};

}  // namespace

bool layout_of(const Header& header, Layout& layout) {
  const std::uint64_t width = header.id_width;
  const std::uint64_t copies = direction_of(header) == Direction::kBoth ? 2 : 1;  // entries per edge
  std::uint64_t cells, cell_bytes, block_bytes, node_offsets, relation_offsets;
  if (__builtin_mul_overflow(header.edge_count, copies, &cells) ||
      __builtin_add_overflow(cells, header.node_count, &cells) ||
      __builtin_mul_overflow(cells, 3 * width, &cell_bytes) ||
      __builtin_mul_overflow(header.node_count, width, &block_bytes) ||
      __builtin_add_overflow(header.node_count, 1, &node_offsets) ||
      __builtin_mul_overflow(node_offsets, 8, &node_offsets) ||
      __builtin_add_overflow(header.relation_count, 1, &relation_offsets) ||
      __builtin_mul_overflow(relation_offsets, 8, &relation_offsets)) {
    return false;
  }
  const std::uint32_t has = header.contents;
  std::uint64_t heads = 0, source_cells = 0, source_blocks = 0, source_heads = 0, source_relations = 0, weights = 0;
  if ((has & kHasHeads) && __builtin_mul_overflow(header.edge_count, width, &heads)) return false;
  if (has & kHasSource) {
    if (__builtin_mul_overflow(header.source_edge_count, 2, &source_cells) ||
        __builtin_add_overflow(source_cells, header.node_count, &source_cells) ||
        __builtin_mul_overflow(source_cells, 3 * width, &source_cells) ||
        ((has & kSourceHasHeads) && __builtin_mul_overflow(header.source_edge_count, width, &source_heads))) {
      return false;
    }
    source_blocks = block_bytes;
    source_relations = (header.relation_count / 64 + (header.relation_count % 64 != 0 ? 1 : 0)) * 8;
  }
  if ((has & kWeighted) && __builtin_mul_overflow(cells - header.node_count, 8, &weights)) return false;
  std::uint64_t metapath_keys = 0;
  if (__builtin_mul_overflow(header.metapath_length, 8, &metapath_keys)) return false;
  std::uint64_t times = 0;
  const std::uint64_t triples = (has & kHasSource) ? header.source_edge_count : header.edge_count;
  if ((has & kHasTimes) && __builtin_mul_overflow(triples, 8, &times)) return false;
  const std::uint64_t lengths[kSectionCount] = {cell_bytes,
                                                block_bytes,
                                                node_offsets,
                                                relation_offsets,
                                                header.node_label_bytes,
                                                header.relation_label_bytes,
                                                header.node_count,
                                                header.relation_count,
                                                heads,
                                                source_cells,
                                                source_blocks,
                                                source_heads,
                                                source_relations,
                                                weights,
                                                metapath_keys,
                                                times};
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

std::uint64_t checksum_of_pieces(std::span<const std::string_view> pieces, const InterruptPoll& poll) {
  constexpr std::uint64_t kSegment = std::uint64_t{1} << 20;
  std::vector<std::uint64_t> starts(pieces.size() + 1, 0);
  for (std::size_t i = 0; i < pieces.size(); ++i) starts[i + 1] = starts[i] + pieces[i].size();
  const std::uint64_t size = starts.back() / 32 * 32;
  const std::uint64_t segments = (size + kSegment - 1) / kSegment;
  std::vector<std::uint64_t> values(segments);
  run_tasks(
      segments, available_cpus(),
      [&](std::uint64_t segment, const InterruptPoll& task_poll) {
        const std::uint64_t begin = segment * kSegment;
        const std::uint64_t end = std::min(size, begin + kSegment);
        Checksum checksum;
        std::size_t piece =
            static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), begin) - starts.begin()) - 1;
        for (; piece < pieces.size() && starts[piece] < end; ++piece) {
          const std::uint64_t from = std::max(begin, starts[piece]);
          const std::uint64_t to = std::min(end, starts[piece + 1]);
          checksum.update(pieces[piece].data() + (from - starts[piece]), to - from);
        }
        values[segment] = checksum.value();
        task_poll();
      },
      poll);
  std::uint64_t h = size;
  for (const std::uint64_t value : values) h = avalanche(h ^ value) * kChecksumMultiplier;
  return avalanche(h);
}

}  // namespace snapshot_format

std::uint64_t snapshot_checksum(std::string_view bytes, const InterruptPoll& poll) {
  return snapshot_format::checksum_of_pieces(std::span(&bytes, 1), poll);
}

}  // namespace vantrel
