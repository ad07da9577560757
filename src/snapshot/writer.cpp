#include "snapshot/writer.hpp"

#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "core/file_io.hpp"
#include "graph/bias.hpp"
#include "graph/metapath.hpp"
#include "graph/restriction.hpp"
#include "graph/source_triples.hpp"
#include "snapshot/format.hpp"

namespace vantrel {

namespace {

using namespace snapshot_format;

template <class T>
std::string_view bytes_of(const ArrayRegion<T>& region) {
  return {reinterpret_cast<const char*>(region.data()), region.size() * sizeof(T)};
}

// The bits of a restriction's relations, 64 to a word.
std::vector<std::uint64_t> relation_bits(const std::vector<bool>& relations) {
  std::vector<std::uint64_t> words(relations.size() / 64 + (relations.size() % 64 != 0 ? 1 : 0), 0);
  for (std::size_t r = 0; r < relations.size(); ++r) {
    if (relations[r]) words[r / 64] |= std::uint64_t{1} << (r % 64);
  }
  return words;
}

template <class Id>
void save_graph(const KG& kg, const BasicGraph<Id>& graph, int fd, const InterruptPoll& poll) {
  Header header{};
  std::memcpy(header.magic, kMagic, sizeof kMagic);
  header.version = kg.triple_times() ? kTimesVersion : kg.metapath() ? kMetapathVersion : kPlainVersion;
  header.byte_order = kByteOrderMark;
  header.id_width = sizeof(Id);
  header.header_size = kHeaderSize;
  header.edge_count = graph.edge_count();
  header.node_count = graph.node_count();
  header.relation_count = graph.relation_count();
  header.node_label_bytes = graph.node_labels().bytes().size();
  header.relation_label_bytes = graph.relation_labels().bytes().size();
  header.restriction = graph.may_lack_edges() ? 1 + static_cast<std::uint32_t>(graph.direction()) : 0;
  // Heads kept as runs are written out whole, as ever.
  const ArrayRegion<Id> heads = heads_in_input_order(graph, poll);
  if (!heads.empty()) header.contents |= kHasHeads;
  // A restricted graph carries the graph as read it came from, for its triples.
  const BasicGraph<Id>* source = kg.restriction() ? &kg.source().as<Id>() : nullptr;
  std::vector<std::uint64_t> kept_relations;
  ArrayRegion<Id> source_heads;
  if (source) {
    source_heads = heads_in_input_order(*source, poll);
    header.contents |= kHasSource | (source_heads.empty() ? 0 : kSourceHasHeads) |
                       (source->may_lack_edges() ? kSourceMayLackEdges : 0);
    header.source_edge_count = source->edge_count();
    kept_relations = relation_bits(kg.restriction()->relations);
  }
  if (const Bias* bias = kg.bias()) {
    header.contents |= kBiased | (bias->weighted() ? kWeighted : 0);
    header.p = bias->p();
    header.q = bias->q();
  }
  std::span<const StepKey> pattern;
  if (const Metapath* metapath = kg.metapath()) {
    header.contents |= kMetapath;
    pattern = metapath->pattern();
    header.metapath_length = pattern.size();
  }
  std::string_view times;
  if (const auto& triple_times = kg.triple_times()) {
    header.contents |=
        kHasTimes | (std::holds_alternative<ArrayRegion<std::int64_t>>(*triple_times) ? kIntegerTimes : 0);
    times = std::visit([](const auto& region) { return bytes_of(region); }, *triple_times);
  }
  if (const Temporal* temporal = kg.temporal()) {
    const TemporalRule& rule = temporal->rule();
    header.contents |= kTemporal | (rule.direction == TimeDirection::kBackward ? kTimeBackward : 0) |
                       (rule.strict ? kTimeStrict : 0) | (rule.window ? kTimeWindow : 0) |
                       (rule.decay ? kTimeDecay : 0);
    header.p = rule.window.value_or(0.0);
    header.q = rule.decay.value_or(0.0);
  }
  Layout layout;
  layout_of(header, layout);
  header.file_size = layout.end;
  const std::string_view sections[kSectionCount] = {
      bytes_of(graph.cells()),
      bytes_of(graph.blocks()),
      bytes_of(graph.node_labels().offsets()),
      bytes_of(graph.relation_labels().offsets()),
      bytes_of(graph.node_labels().bytes()),
      bytes_of(graph.relation_labels().bytes()),
      bytes_of(graph.node_labels().ascii_flags()),
      bytes_of(graph.relation_labels().ascii_flags()),
      bytes_of(heads),
      source ? bytes_of(source->cells()) : std::string_view(),
      source ? bytes_of(source->blocks()) : std::string_view(),
      bytes_of(source_heads),
      std::string_view(reinterpret_cast<const char*>(kept_relations.data()), kept_relations.size() * 8),
      kg.bias() ? bytes_of(kg.bias()->weights()) : std::string_view(),
      std::string_view(reinterpret_cast<const char*>(pattern.data()), pattern.size() * sizeof(StepKey)),
      times,
  };
  // The contents as pieces of whole 64-byte blocks: each section's whole
  // blocks, then its last bytes with the zeros that pad them. The checksum
  // is taken from them in memory, so that the file is written once, in
  // order, and may be a pipe.
  char tails[kSectionCount][kSectionAlignment] = {};
  std::vector<std::string_view> pieces;
  for (int s = 0; s < kSectionCount; ++s) {
    const std::size_t whole = sections[s].size() / kSectionAlignment * kSectionAlignment;
    pieces.push_back(sections[s].substr(0, whole));
    if (whole < sections[s].size()) {
      std::memcpy(tails[s], sections[s].data() + whole, sections[s].size() - whole);
      pieces.push_back(std::string_view(tails[s], kSectionAlignment));
    }
  }
  header.checksum = checksum_of_pieces(pieces, poll);
  write_fully(fd, std::string_view(reinterpret_cast<const char*>(&header), sizeof header), poll);
  for (const std::string_view piece : pieces) write_fully(fd, piece, poll);
}

}  // namespace

void save_snapshot(const KG& kg, const std::string& path, const InterruptPoll& poll) {
  OutputFile file(path, poll);
  kg.visit([&](const auto& graph) { save_graph(kg, graph, file.fd(), poll); });
  file.commit();
}

}  // namespace vantrel
