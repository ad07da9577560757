#include "builder.hpp"

#include <span>

namespace vantrel {

template <class Id>
GraphBuilder<Id>::GraphBuilder(std::uint64_t expected_edges, InterruptPoll poll) : poll_(std::move(poll)) {
  // Knowledge graphs have a few times fewer nodes than triples; a guess on
  // the low side saves most rehashing and never wastes much.
  nodes_.reserve(expected_edges / 8);
  src_.reserve(expected_edges);
  dst_.reserve(expected_edges);
  relation_.reserve(expected_edges);
}

template <class Id>
void GraphBuilder<Id>::flush() {
  const std::span<Pending> batch(pending_, pending_count_);
  for (Pending& p : batch) {
    p.head_hash = hash_label(p.head);
    p.tail_hash = hash_label(p.tail);
    nodes_.prefetch_slot(p.head_hash);
    nodes_.prefetch_slot(p.tail_hash);
  }
  for (const Pending& p : batch) {
    src_.push_back(nodes_.intern_hashed(p.head, p.head_hash));
    dst_.push_back(nodes_.intern_hashed(p.tail, p.tail_hash));
    relation_.push_back(relations_.intern(p.relation));
  }
  pending_count_ = 0;
  if (++batches_ % kBatchesPerPoll == 0 && poll_) poll_();
}

template <class Id>
BasicGraph<Id> GraphBuilder<Id>::finish() && {
  flush();
  const std::uint64_t node_count = nodes_.size();
  const std::uint64_t edge_count = src_.size();
  LabelList node_labels = std::move(nodes_).release();
  LabelList relation_labels = std::move(relations_).release();

  // Count each node's edges, then lay the blocks out in node order.
  auto cell_region = ArrayRegion<Cell<Id>>::allocate(node_count + 2 * edge_count);
  auto block_region = ArrayRegion<Id>::allocate(node_count);
  Cell<Id>* const cells = cell_region.mutable_data();
  Id* const block_of = block_region.mutable_data();
  struct Counts {
    Id forward;
    Id backward;
  };
  std::vector<Counts> counts(node_count, Counts{0, 0});
  for (std::uint64_t e = 0; e < edge_count; ++e) {
    ++counts[src_[e]].forward;
    ++counts[dst_[e]].backward;
  }
  std::uint64_t next_block = 0;
  for (std::uint64_t n = 0; n < node_count; ++n) {
    block_of[n] = static_cast<Id>(next_block);
    cells[next_block].header = {counts[n].forward, counts[n].backward, static_cast<Id>(n)};
    next_block += 1 + std::uint64_t{counts[n].forward} + counts[n].backward;
  }
  // Edges go in in id order, so each list ascends. `counts` now holds the
  // number of entries filled so far in each list.
  for (Counts& count : counts) count = Counts{0, 0};
  constexpr std::uint64_t kEdgesPerPoll = std::uint64_t{1} << 22;
  for (std::uint64_t e = 0; e < edge_count; ++e) {
    if (e % kEdgesPerPoll == kEdgesPerPoll - 1 && poll_) poll_();
    const Id src = src_[e];
    const Id dst = dst_[e];
    const Id src_block = block_of[src];
    const Id dst_block = block_of[dst];
    const Id fwd_position = counts[src].forward++;
    const Id rev_position = counts[dst].backward++;
    cells[src_block + 1 + fwd_position].edge = {dst_block, relation_[e], rev_position};
    cells[dst_block + 1 + cells[dst_block].header.forward_count + rev_position].edge = {src_block, relation_[e],
                                                                                         fwd_position};
  }
  return BasicGraph<Id>(std::move(cell_region), std::move(block_region), std::move(node_labels),
                        std::move(relation_labels));
}

template class GraphBuilder<std::uint32_t>;
template class GraphBuilder<std::uint64_t>;

namespace {

// Narrow ids must address every cell (a header per node, at most two nodes
// per triple, and two entries per triple) and leave the empty marker free.
bool fits_narrow(std::uint64_t triples) {
  return triples < (std::uint64_t{1} << 30) - 1;
}

template <class Id>
BasicGraph<Id> build_from_triples(std::vector<Triple>& triples) {
  GraphBuilder<Id> builder(triples.size());
  for (const Triple& triple : triples) builder.add(triple.head, triple.relation, triple.tail);
  BasicGraph<Id> graph = std::move(builder).finish();
  std::vector<Triple>().swap(triples);
  return graph;
}

template <class Id>
BasicGraph<Id> build_from_content(FileContent& content, std::uint64_t lines, const InterruptPoll& poll) {
  const std::string_view text = content.text();
  GraphBuilder<Id> builder(lines, poll);
  for_each_triple(text, TripleOrder::HRT,
                  [&](std::string_view head, std::string_view relation, std::string_view tail) {
                    builder.add(head, relation, tail);
                  });
  builder.flush();
  content = FileContent();
  return std::move(builder).finish();
}

}  // namespace

KG from_triples(std::vector<Triple> triples, IdWidth width) {
  if (width == IdWidth::kNarrowest && fits_narrow(triples.size())) {
    return KG(build_from_triples<std::uint32_t>(triples));
  }
  return KG(build_from_triples<std::uint64_t>(triples));
}

KG build_kg(FileContent content, IdWidth width, const InterruptPoll& poll) {
  const std::uint64_t lines = count_lines(content.text());
  if (width == IdWidth::kNarrowest && fits_narrow(lines)) {
    return KG(build_from_content<std::uint32_t>(content, lines, poll));
  }
  return KG(build_from_content<std::uint64_t>(content, lines, poll));
}

}  // namespace vantrel
