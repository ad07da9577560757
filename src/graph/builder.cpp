#include "graph/builder.hpp"

#include <algorithm>
#include <span>

#include "core/parallel.hpp"
#include "graph/layout.hpp"

namespace vantrel {

template <class Id>
GraphBuilder<Id>::GraphBuilder(std::uint64_t expected_edges, BucketLimits buckets) : edges_by_source_(buckets) {
  // Knowledge graphs have a few times fewer nodes than triples; a guess on
  // the low side saves most rehashing and never wastes much.
  nodes_.reserve(expected_edges / 8);
  counts_.reserve(expected_edges / 8);
}

template <class Id>
void GraphBuilder<Id>::intern(std::span<const HashedTriple> triples, std::uint64_t* ids) {
  // In batches whose home slots are fetched ahead, so that the cache misses
  // of their lookups overlap; ids are still given in input order.
  for (std::size_t first = 0; first < triples.size(); first += kBatch) {
    const std::span<const HashedTriple> batch = triples.subspan(first, std::min(kBatch, triples.size() - first));
    for (const HashedTriple& triple : batch) {
      nodes_.prefetch_slot(triple.head_hash);
      nodes_.prefetch_slot(triple.tail_hash);
    }
    for (const HashedTriple& triple : batch) {
      *ids++ = nodes_.intern_hashed(triple.head, triple.head_hash);
      *ids++ = relations_.intern_hashed(triple.relation, triple.relation_hash);
      *ids++ = nodes_.intern_hashed(triple.tail, triple.tail_hash);
    }
  }
  interned_ += triples.size();
}

template <class Id>
void GraphBuilder<Id>::place(std::span<const std::uint64_t> ids) {
  for (std::size_t first = 0; first < ids.size(); first += 3 * kBatch) {
    const std::span<const std::uint64_t> batch = ids.subspan(first, std::min(3 * kBatch, ids.size() - first));
    for (std::size_t k = 0; k < batch.size(); k += 3) {
      // Ids come in order of first occurrence, so a new node's is the next one.
      for (const std::uint64_t node : {batch[k], batch[k + 2]}) {
        if (node == counts_.size()) counts_.push_back({0, 0});
      }
    }
    for (std::size_t k = 0; k < batch.size(); k += 3) {
      __builtin_prefetch(&counts_[batch[k]]);
      __builtin_prefetch(&counts_[batch[k + 2]]);
    }
    // An edge's rank among those reaching its tail is known now, in edge order.
    for (std::size_t k = 0; k < batch.size(); k += 3) {
      const auto head = static_cast<Id>(batch[k]);
      const auto tail = static_cast<Id>(batch[k + 2]);
      if (heads_.empty() || heads_.back().size() == kHeadsPerPiece) {
        heads_.emplace_back();
        heads_.back().reserve(kHeadsPerPiece);
      }
      heads_.back().push_back(head);
      ++counts_[head].forward;
      const Id target_position = counts_[tail].backward++;
      edges_by_source_.append({head, tail, static_cast<Id>(batch[k + 1]), target_position});
    }
  }
  edges_ += ids.size() / 3;
}

template <class Id>
void GraphBuilder<Id>::flush() {
  std::uint64_t ids[3 * kBatch];
  intern({pending_, pending_count_}, ids);
  place({ids, 3 * pending_count_});
  pending_count_ = 0;
}

template <class Id>
template <class OutId>
BasicGraph<OutId> GraphBuilder<Id>::finish(unsigned threads, const InterruptPoll& poll) && {
  flush();
  const std::uint64_t node_count = nodes_.size();
  const std::uint64_t edge_count = edges_;
  LabelList node_labels = std::move(nodes_).release();
  LabelList relation_labels = std::move(relations_).release();

  auto block_region = ArrayRegion<OutId>::allocate(node_count);
  OutId* const block_of = block_region.mutable_data();
  for (std::uint64_t n = 0; n < node_count; ++n) {
    block_of[n] = static_cast<OutId>(block_cells(counts_[n].forward, counts_[n].backward));
  }
  block_starts_from_sizes(block_of, node_count);
  // Only the pages written become resident, so the cells grow while the
  // records shrink, bucket by bucket.
  auto cell_region = ArrayRegion<Cell<OutId>>::allocate(node_count + 2 * edge_count);
  Cell<OutId>* const cells = cell_region.mutable_data();

  // Each bucket's nodes: their headers, then their forward entries in edge
  // order. `counts_[n].forward` becomes the number of entries placed so far.
  const unsigned shift = edges_by_source_.shift();
  const std::uint64_t buckets =
      std::max<std::uint64_t>(edges_by_source_.bucket_count(), (node_count + (std::uint64_t{1} << shift) - 1) >> shift);
  run_tasks(
      buckets, threads,
      [&](std::uint64_t bucket, const InterruptPoll& task_poll) {
        const std::uint64_t first = bucket << shift;
        const std::uint64_t last = std::min(node_count, (bucket + 1) << shift);
        for (std::uint64_t n = first; n < last; ++n) {
          cells[block_of[n]].header = {static_cast<OutId>(counts_[n].forward), static_cast<OutId>(counts_[n].backward),
                                       static_cast<OutId>(n)};
          counts_[n].forward = 0;
        }
        if (bucket >= edges_by_source_.bucket_count()) return;
        std::vector<RecordPage<Id>> pages = edges_by_source_.take(bucket);
        for (RecordPage<Id>& page : pages) {
          for (const EdgeRecord<Id>& record : std::span(page.records(), page.count())) {
            const std::uint64_t position = entry_cell(block_of[record.source], counts_[record.source].forward++);
            cells[position].edge = {block_of[record.target], static_cast<OutId>(record.relation),
                                    static_cast<OutId>(record.target_position)};
          }
          page.release();  // as the cells fill, the records go
          task_poll();
        }
      },
      poll);
  std::vector<Counts>().swap(counts_);

  // The heads in input order, one array; each piece goes once copied.
  auto head_region = ArrayRegion<OutId>::allocate(edge_count);
  OutId* head_out = head_region.mutable_data();
  for (std::vector<Id>& piece : heads_) {
    head_out = std::copy(piece.begin(), piece.end(), head_out);
    std::vector<Id>().swap(piece);
  }
  heads_.clear();

  // The backward entries, from the forward ones: each is written once, so
  // ranges of nodes go on separate threads.
  constexpr std::uint64_t kNodesPerTask = std::uint64_t{1} << 14;
  run_tasks((node_count + kNodesPerTask - 1) / kNodesPerTask, threads,
            [&](std::uint64_t task, const InterruptPoll& task_poll) {
              const std::uint64_t last = std::min(node_count, (task + 1) * kNodesPerTask);
              for (std::uint64_t n = task * kNodesPerTask; n < last; ++n) {
                const OutId block = block_of[n];
                const OutId forward_count = cells[block].header.forward_count;
                for (OutId k = 0; k < forward_count; ++k) {
                  const EdgeCell<OutId> entry = cells[entry_cell(block, k)].edge;
                  const OutId other_forward = cells[entry.block].header.forward_count;
                  cells[twin_cell(entry.block, other_forward, true, entry.twin)].edge = {block, entry.relation, k};
                }
              }
              task_poll();
            },
            poll);
  BasicGraph<OutId> graph(std::move(cell_region), std::move(block_region), std::move(node_labels),
                          std::move(relation_labels), Direction::kBoth, false, std::move(head_region));
  // Triples that came grouped by head keep their order in a fraction of the memory.
  graph.group_heads(poll);
  return graph;
}

template <class Id>
GraphBuilder<std::uint64_t> GraphBuilder<Id>::widen() && {
  flush();
  GraphBuilder<std::uint64_t> wide(0, edges_by_source_.limits());
  wide.nodes_ = LabelTable<std::uint64_t>(std::move(nodes_).take_labels());
  wide.relations_ = LabelTable<std::uint64_t>(std::move(relations_).take_labels());
  wide.counts_.reserve(counts_.size());
  for (const Counts& count : counts_) wide.counts_.push_back({count.forward, count.backward});
  std::vector<Counts>().swap(counts_);
  // Bucket by bucket, so that each source's records stay in edge order.
  for (std::size_t bucket = 0; bucket < edges_by_source_.bucket_count(); ++bucket) {
    for (const RecordPage<Id>& page : edges_by_source_.take(bucket)) {  // each page freed after its bucket
      for (const EdgeRecord<Id>& r : std::span(page.records(), page.count())) {
        wide.edges_by_source_.append({r.source, r.target, r.relation, r.target_position});
      }
    }
  }
  for (std::vector<Id>& piece : heads_) {
    wide.heads_.emplace_back(piece.begin(), piece.end());
    std::vector<Id>().swap(piece);
  }
  wide.interned_ = interned_;
  wide.edges_ = edges_;
  return wide;
}

template class GraphBuilder<std::uint32_t>;
template class GraphBuilder<std::uint64_t>;

template <class Id>
AnyGraph finish_graph(GraphBuilder<Id>&& builder, IdWidth width, unsigned threads, const InterruptPoll& poll) {
  builder.flush();
  const std::uint64_t edges = builder.edge_count();
  if (width == IdWidth::kNarrowest && edges <= UINT32_MAX &&
      fits_32_bit_ids(builder.node_count() + 2 * edges, builder.relation_count())) {
    return std::move(builder).template finish<std::uint32_t>(threads, poll);
  }
  return std::move(builder).template finish<std::uint64_t>(threads, poll);
}

template AnyGraph finish_graph(GraphBuilder<std::uint32_t>&&, IdWidth, unsigned, const InterruptPoll&);
template AnyGraph finish_graph(GraphBuilder<std::uint64_t>&&, IdWidth, unsigned, const InterruptPoll&);

namespace {

template <class Id>
AnyGraph build_from_triples(std::vector<Triple>& triples, IdWidth width) {
  GraphBuilder<Id> builder(triples.size());
  for (const Triple& triple : triples) builder.add(triple.head, triple.relation, triple.tail);
  builder.flush();
  std::vector<Triple>().swap(triples);
  return finish_graph(std::move(builder), width, 1);
}

}  // namespace

AnyGraph from_triples(std::vector<Triple> triples, IdWidth width) {
  if (collects_narrow(triples.size())) return build_from_triples<std::uint32_t>(triples, width);
  return build_from_triples<std::uint64_t>(triples, width);
}

}  // namespace vantrel
