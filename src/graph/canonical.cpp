#include "graph/canonical.hpp"

#include <algorithm>
#include <array>
#include <numeric>
#include <type_traits>
#include <vector>

#include "graph/id_graph.hpp"
#include "graph/labels.hpp"
#include "graph/source_triples.hpp"

namespace vantrel {

namespace {

// The ids of `labels` in the order of their bytes (as unsigned bytes, a
// shorter label before the longer ones it begins), and the labels in that order.
template <class Id>
std::vector<Id> sorted_ids(const LabelList& labels, LabelList& sorted) {
  std::vector<Id> order(labels.size());
  std::iota(order.begin(), order.end(), Id{0});
  std::sort(order.begin(), order.end(), [&](Id a, Id b) { return labels[a] < labels[b]; });
  LabelArena arena;
  for (const Id id : order) arena.append(labels[id]);
  sorted = std::move(arena).freeze();
  return order;
}

// Each id's place in `order`.
template <class Id>
std::vector<Id> ranks_of(const std::vector<Id>& order) {
  std::vector<Id> rank(order.size());
  for (std::size_t place = 0; place < order.size(); ++place) rank[order[place]] = static_cast<Id>(place);
  return rank;
}

template <class Id>
KG canonical_of(KG& kg, const InterruptPoll& poll) {
  LabelList node_labels;
  LabelList relation_labels;
  std::vector<std::array<Id, 3>> rows;
  {
    const BasicGraph<Id>& graph = kg.as<Id>();
    const std::vector<Id> node_rank = ranks_of(sorted_ids<Id>(graph.node_labels(), node_labels));
    const std::vector<Id> relation_rank = ranks_of(sorted_ids<Id>(graph.relation_labels(), relation_labels));
    rows.resize(graph.edge_count());
    source_triple_table(kg, rows.empty() ? nullptr : rows.front().data(), poll);
    for (std::array<Id, 3>& row : rows) row = {node_rank[row[0]], relation_rank[row[1]], node_rank[row[2]]};
  }
  // The graph in read order is done with: its memory goes before the new one is built.
  kg = KG();
  if (poll) poll();
  std::sort(rows.begin(), rows.end());
  if (poll) poll();
  IdTriples triples;
  triples.data = reinterpret_cast<const char*>(rows.data());
  triples.rows = rows.size();
  triples.row_stride = sizeof(std::array<Id, 3>);
  triples.column_stride = sizeof(Id);
  triples.format = {sizeof(Id), false, false};
  return graph_from_ids(triples, std::move(node_labels), std::move(relation_labels), poll);
}

}  // namespace

KG canonical_graph(KG kg, const InterruptPoll& poll) {
  const bool narrow = kg.visit(
      [](const auto& graph) { return std::is_same_v<typename std::decay_t<decltype(graph)>::IdType, std::uint32_t>; });
  return narrow ? canonical_of<std::uint32_t>(kg, poll) : canonical_of<std::uint64_t>(kg, poll);
}

}  // namespace vantrel
