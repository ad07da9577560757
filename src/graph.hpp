// The knowledge graph: a directed multigraph with one edge per triple, nodes
// for the distinct head and tail labels in order of first occurrence, and the
// random walk over it.
//
// Storage is compact and contiguous: labels live back to back in arenas,
// relation labels are interned, and nodes with their edges are blocks in one
// array of cells (see BasicGraph). Ids are 32-bit when the input is small
// enough for them, 64-bit otherwise.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "random.hpp"
#include "triple.hpp"

namespace vantrel {

// Allocation and release behind HugePageAllocator; throws std::bad_alloc.
void* allocate_huge_pages(std::size_t bytes);
void release_huge_pages(void* pointer, std::size_t bytes);

// Allocates large arrays straight from the kernel, asking for transparent
// huge pages: a walk jumps around arrays of hundreds of megabytes, and with
// 4 KiB pages nearly every step would also miss the TLB. Small arrays come
// from the ordinary heap.
template <class T>
struct HugePageAllocator {
  using value_type = T;
  HugePageAllocator() = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) {}
  T* allocate(std::size_t count) {
    return static_cast<T*>(allocate_huge_pages(count * sizeof(T)));
  }
  void deallocate(T* pointer, std::size_t count) { release_huge_pages(pointer, count * sizeof(T)); }
  friend bool operator==(const HugePageAllocator&, const HugePageAllocator&) { return true; }
};

// Labels stored back to back in one buffer and addressed by dense ids.
class LabelArena {
 public:
  LabelArena() { offsets_.push_back(0); }

  // Stores a copy of `text` and returns its id (the number of labels before it).
  std::uint64_t append(std::string_view text) {
    bytes_.append(text);
    offsets_.push_back(bytes_.size());
    ascii_.push_back(is_ascii(text) ? 1 : 0);
    return offsets_.size() - 2;
  }

  std::uint64_t size() const { return offsets_.size() - 1; }

  std::string_view operator[](std::uint64_t id) const {
    return std::string_view(bytes_).substr(offsets_[id], offsets_[id + 1] - offsets_[id]);
  }

  // True if the label holds ASCII bytes only.
  bool is_ascii_label(std::uint64_t id) const { return ascii_[id] != 0; }

 private:
  std::string bytes_;
  std::vector<std::uint64_t> offsets_;
  std::vector<std::uint8_t> ascii_;
};

// The hash of a label's bytes used to intern it.
std::uint64_t hash_label(std::string_view text);

// Byte-wise equality, inlined: labels are short, and a library call per
// comparison costs more than the comparison.
inline bool same_label(std::string_view a, std::string_view b) {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  const char* p = a.data();
  const char* q = b.data();
  auto load64 = [](const char* at) {
    std::uint64_t word;
    std::memcpy(&word, at, 8);
    return word;
  };
  auto load32 = [](const char* at) {
    std::uint32_t word;
    std::memcpy(&word, at, 4);
    return word;
  };
  if (n >= 8) {
    for (std::size_t i = 0; i + 8 <= n; i += 8) {
      if (load64(p + i) != load64(q + i)) return false;
    }
    return load64(p + n - 8) == load64(q + n - 8);
  }
  if (n >= 4) return load32(p) == load32(q) && load32(p + n - 4) == load32(q + n - 4);
  if (n == 0) return true;
  return p[0] == q[0] && p[n >> 1] == q[n >> 1] && p[n - 1] == q[n - 1];
}

// Interns labels: the first occurrence of a text gets the next dense id,
// later occurrences find it again. Open addressing with linear probing. A
// slot keeps a label's length, hash bits and first 16 bytes, so that a
// lookup of a short label (most node ids of real graphs) is settled in the
// slot without reading the label store. KeyHashBits: how many of the
// hash's top bits the slot keeps (fewer only to test growth past them).
template <class Id, unsigned KeyHashBits = 24>
class LabelTable {
 public:
  LabelTable() : slots_(kInitialCapacity), mask_(kInitialCapacity - 1), shift_(64 - kInitialBits) {}

  // Makes room for `labels` labels without growing.
  void reserve(std::uint64_t labels) {
    while (slots_.size() < 2 * labels) grow();
  }

  // The id of `text`, appending it as a new label on its first occurrence.
  Id intern(std::string_view text) { return intern_hashed(text, hash_label(text)); }
  // The same, with `hash` = hash_label(text) computed beforehand.
  Id intern_hashed(std::string_view text, std::uint64_t hash);

  // Starts loading the home slot of `hash`, ahead of a batch of lookups.
  void prefetch_slot(std::uint64_t hash) const {
    const Slot* slot = &slots_[home(hash)];
    __builtin_prefetch(slot);
    __builtin_prefetch(reinterpret_cast<const char*>(slot + 1) - 1);
  }

  std::uint64_t size() const { return labels_.size(); }

  // Gives up the lookup structure and keeps the labels.
  LabelArena release() && {
    std::vector<Slot>().swap(slots_);
    return std::move(labels_);
  }

 private:
  static constexpr unsigned kInitialBits = 4;
  static constexpr std::size_t kInitialCapacity = std::size_t{1} << kInitialBits;
  static constexpr std::size_t kInline = 16;
  static constexpr unsigned kKeyHashBits = KeyHashBits;
  static constexpr Id kEmpty = static_cast<Id>(-1);
  struct Slot {
    Id id = kEmpty;
    std::uint32_t key = 0;  // length (capped at 255) in the low byte, the hash's top bits above
    char prefix[kInline] = {};  // the label's first bytes, zero-padded
  };
  // The home slot comes from the hash's top bits, which the key keeps too:
  // when the table doubles, a slot's entry moves to twice its index or one
  // more, so growing walks both tables in order.
  std::size_t home(std::uint64_t hash) const { return static_cast<std::size_t>(hash >> shift_); }
  static std::uint32_t key_of(std::uint64_t hash, std::size_t length) {
    return static_cast<std::uint32_t>(hash >> (64 - kKeyHashBits)) << 8 |
           static_cast<std::uint32_t>(length < 255 ? length : 255);
  }
  static void fill_prefix(std::string_view text, char (&prefix)[kInline]) {
    std::memset(prefix, 0, kInline);
    std::memcpy(prefix, text.data(), text.size() < kInline ? text.size() : kInline);
  }
  void grow();

  std::vector<Slot> slots_;
  std::size_t mask_;
  unsigned shift_;
  LabelArena labels_;
};

// How a string of a walk ends: a node label has no suffix, an edge string
// says whether the edge was followed forward or backward.
enum class Suffix : std::uint8_t { kNone, kForward, kBackward };

// One string of a walk, as a view into the graph's labels.
struct PathPiece {
  std::string_view label;
  Suffix suffix;
  bool ascii;
};

// A graph with ids of type Id (std::uint32_t or std::uint64_t).
//
// Nodes and their edges live in one array of cells. A node's block is a
// header cell (its forward count, backward count and id) followed by one cell
// per forward edge, then one per backward edge, each group in ascending edge
// order. An edge cell holds what a step needs: the block of the node at the
// edge's other end, the relation, and the edge's position among that node's
// entries of the opposite direction (its twin), so that the walk finds the
// edge it came over without a search. A step thus reads the block it stands
// on and jumps to the next; for most nodes that is one cache line.
template <class Id>
class BasicGraph {
 public:
  // An edge seen from one of its ends.
  struct Adjacent {
    Id node;      // the node at the other end
    Id relation;  // relation label id
    Id twin;      // position of this edge in the other end's opposite list
  };

  std::uint64_t node_count() const { return block_of_.size(); }
  std::uint64_t edge_count() const { return (cells_.size() - block_of_.size()) / 2; }
  std::string_view node_label(std::uint64_t node) const { return node_labels_[node]; }
  std::string_view relation_label(std::uint64_t relation) const { return relation_labels_[relation]; }

  // Edges that leave `node`, in ascending edge order, seen from `node`.
  std::vector<Adjacent> edges_fwd(std::uint64_t node) const { return entries(node, true); }
  // Edges that reach `node`, in ascending edge order, seen from `node`.
  std::vector<Adjacent> edges_rev(std::uint64_t node) const { return entries(node, false); }

  // Draws a walk of `path_len` steps into `out` (cleared first): the start
  // label, one edge string per step, the end label. The start node is drawn
  // below the node count (EmptyRangeError on an empty graph), then each step
  // draws below its candidate count: the node's forward then backward
  // entries, less the first entry of the edge just used unless it is the
  // only one.
  // `poll` is called every 2^20 steps.
  void walk(std::uint64_t path_len, StdRng& rng, std::vector<PathPiece>& out,
            const InterruptPoll& poll = {}) const;


 private:
  template <class>
  friend class GraphBuilder;

  // A header cell is {forward count, backward count, node id}; an edge cell
  // is {block of the other end, relation, twin}.
  struct Cell {
    Id first;
    Id second;
    Id third;
  };
  std::vector<Adjacent> entries(std::uint64_t node, bool forward) const;
  PathPiece node_piece(Id block) const {
    const Id node = cells_[block].third;
    return {node_labels_[node], Suffix::kNone, node_labels_.is_ascii_label(node)};
  }

  std::vector<Cell, HugePageAllocator<Cell>> cells_;
  std::vector<Id, HugePageAllocator<Id>> block_of_;  // node id -> position of its header cell
  LabelArena node_labels_;
  LabelArena relation_labels_;
};

// Builds a BasicGraph from triples given one at a time, in input order.
// The texts passed to add() must stay valid until finish().
template <class Id>
class GraphBuilder {
 public:
  // `poll` is called about every 2^20 triples and 2^22 edges placed.
  explicit GraphBuilder(std::uint64_t expected_edges, InterruptPoll poll = {});
  void add(std::string_view head, std::string_view relation, std::string_view tail) {
    pending_[pending_count_++] = {head, relation, tail, 0, 0};
    if (pending_count_ == kBatch) flush();
  }
  // Interns the triples still pending; after it the texts given so far may be released.
  void flush();
  BasicGraph<Id> finish() &&;

 private:
  // Triples are interned in batches so that the cache misses of their
  // lookups overlap; ids are still given in input order.
  static constexpr std::size_t kBatch = 32;
  struct Pending {
    std::string_view head;
    std::string_view relation;
    std::string_view tail;
    std::uint64_t head_hash;
    std::uint64_t tail_hash;
  };

  static constexpr std::uint64_t kBatchesPerPoll = (std::uint64_t{1} << 20) / kBatch;

  Pending pending_[kBatch];
  std::size_t pending_count_ = 0;
  std::uint64_t batches_ = 0;
  InterruptPoll poll_;
  LabelTable<Id> nodes_;
  LabelTable<Id> relations_;
  std::vector<Id> src_;
  std::vector<Id> dst_;
  std::vector<Id> relation_;
};

// Which id width to build with: the narrowest that fits, or always 64 bits.
enum class IdWidth { kNarrowest, k64 };

// The graph of a sampler, with the id width chosen at build time.
class KG {
 public:
  using Narrow = BasicGraph<std::uint32_t>;  // up to 2^30 - 1 triples
  using Wide = BasicGraph<std::uint64_t>;

  KG() : graph_(Narrow{}) {}
  explicit KG(Narrow graph) : graph_(std::move(graph)) {}
  explicit KG(Wide graph) : graph_(std::move(graph)) {}

  template <class Visit>
  decltype(auto) visit(Visit&& visit) const {
    return std::visit(std::forward<Visit>(visit), graph_);
  }

  std::uint64_t node_count() const {
    return visit([](const auto& g) { return g.node_count(); });
  }
  std::uint64_t edge_count() const {
    return visit([](const auto& g) { return g.edge_count(); });
  }
  bool is_wide() const { return std::holds_alternative<Wide>(graph_); }

  void walk(std::uint64_t path_len, StdRng& rng, std::vector<PathPiece>& out,
            const InterruptPoll& poll = {}) const {
    visit([&](const auto& g) { g.walk(path_len, rng, out, poll); });
  }

  // A walk as owned strings, each edge label followed by `redge_suffix` when
  // followed forward and by `ledge_suffix` when followed backward.
  std::vector<std::string> sample_path(std::uint64_t path_len, StdRng& rng,
                                       std::string_view redge_suffix,
                                       std::string_view ledge_suffix) const;

 private:
  std::variant<Narrow, Wide> graph_;
};

// The graph of `triples`, consumed: one edge per triple in order, nodes in
// order of first occurrence (head before tail).
KG from_triples(std::vector<Triple> triples, IdWidth width = IdWidth::kNarrowest);

// The graph of the triple lines of `content` (column order HRT), parsed and
// built in one pass; `content` is released once parsed. Throws ShortLineError.
KG build_kg(FileContent content, IdWidth width = IdWidth::kNarrowest, const InterruptPoll& poll = {});

// ---------------------------------------------------------------------------

template <class Id, unsigned KeyHashBits>
Id LabelTable<Id, KeyHashBits>::intern_hashed(std::string_view text, std::uint64_t hash) {
  const std::uint32_t key = key_of(hash, text.size());
  char prefix[kInline];
  fill_prefix(text, prefix);
  for (std::size_t index = home(hash);; index = (index + 1) & mask_) {
    Slot& slot = slots_[index];
    if (slot.id == kEmpty) {
      slot.id = static_cast<Id>(labels_.append(text));
      slot.key = key;
      std::memcpy(slot.prefix, prefix, kInline);
      const Id id = slot.id;
      if (labels_.size() * 2 > slots_.size()) grow();
      return id;
    }
    if (slot.key == key && std::memcmp(slot.prefix, prefix, kInline) == 0 &&
        (text.size() <= kInline || same_label(labels_[slot.id], text))) {
      return slot.id;
    }
  }
}

template <class Id, unsigned KeyHashBits>
void LabelTable<Id, KeyHashBits>::grow() {
  std::vector<Slot> old(slots_.size() * 2);
  old.swap(slots_);
  mask_ = slots_.size() - 1;
  --shift_;
  const unsigned index_bits = 64 - shift_;
  for (const Slot& slot : old) {
    if (slot.id == kEmpty) continue;
    std::size_t index;
    if (index_bits <= kKeyHashBits) {
      index = (slot.key >> 8) >> (kKeyHashBits - index_bits);
    } else {
      // Beyond what the key holds: hash the label again (a short one is whole in its slot).
      const std::size_t length = slot.key & 0xFF;
      index = home(hash_label(length <= kInline ? std::string_view(slot.prefix, length) : labels_[slot.id]));
    }
    while (slots_[index].id != kEmpty) index = (index + 1) & mask_;
    slots_[index] = slot;
  }
}

template <class Id>
void BasicGraph<Id>::walk(std::uint64_t path_len, StdRng& rng, std::vector<PathPiece>& out,
                          const InterruptPoll& poll) const {
  out.clear();
  Id block = block_of_[rng.gen_range(0, node_count())];
  out.reserve(path_len + 2);
  out.push_back(node_piece(block));
  // The position, among the current node's candidates, of the first entry of
  // the edge just used; kNone before the first step.
  constexpr std::uint64_t kNone = UINT64_MAX;
  std::uint64_t removed = kNone;
  constexpr std::uint64_t kStepsPerPoll = std::uint64_t{1} << 20;
  for (std::uint64_t step = 0; step < path_len; ++step) {
    if (step % kStepsPerPoll == kStepsPerPoll - 1 && poll) poll();
    const Cell& header = cells_[block];
    const std::uint64_t fwd_count = header.first;
    const std::uint64_t candidates = fwd_count + header.second;
    std::uint64_t choice;
    if (removed != kNone && candidates >= 2) {
      // Leave the previous edge out: draw below the reduced count and step
      // over the removed position.
      choice = rng.gen_range(0, candidates - 1);
      if (choice >= removed) ++choice;
    } else {
      choice = rng.gen_range(0, candidates);
    }
    const bool forward = choice < fwd_count;
    const Cell& edge = cells_[block + 1 + choice];
    out.push_back({relation_labels_[edge.second], forward ? Suffix::kForward : Suffix::kBackward,
                   relation_labels_.is_ascii_label(edge.second)});
    // Arriving backward, the edge stands among the new node's forward
    // entries only. Arriving forward it stands among its backward entries,
    // unless it is a self-loop: then its forward entry, the one just chosen,
    // comes first.
    if (!forward) {
      removed = edge.third;
    } else if (edge.first == block) {
      removed = choice;
    } else {
      removed = std::uint64_t{cells_[edge.first].first} + edge.third;
    }
    block = edge.first;
  }
  out.push_back(node_piece(block));
}

template <class Id>
std::vector<typename BasicGraph<Id>::Adjacent> BasicGraph<Id>::entries(std::uint64_t node, bool forward) const {
  const Id block = block_of_[node];
  const Cell& header = cells_[block];
  const Id begin = block + 1 + (forward ? 0 : header.first);
  const Id count = forward ? header.first : header.second;
  std::vector<Adjacent> result;
  for (Id k = 0; k < count; ++k) {
    const Cell& edge = cells_[begin + k];
    result.push_back({cells_[edge.first].third, edge.second, edge.third});
  }
  return result;
}

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
  using Cell = typename BasicGraph<Id>::Cell;
  flush();
  BasicGraph<Id> graph;
  const std::uint64_t node_count = nodes_.size();
  const std::uint64_t edge_count = src_.size();
  graph.node_labels_ = std::move(nodes_).release();
  graph.relation_labels_ = std::move(relations_).release();

  // Count each node's edges into its header, then lay the blocks out in node order.
  graph.cells_.resize(node_count + 2 * edge_count);
  std::vector<Cell> headers(node_count, Cell{0, 0, 0});
  for (std::uint64_t e = 0; e < edge_count; ++e) {
    ++headers[src_[e]].first;
    ++headers[dst_[e]].second;
  }
  graph.block_of_.resize(node_count);
  std::uint64_t next_block = 0;
  for (std::uint64_t n = 0; n < node_count; ++n) {
    graph.block_of_[n] = static_cast<Id>(next_block);
    graph.cells_[next_block] = {headers[n].first, headers[n].second, static_cast<Id>(n)};
    next_block += 1 + std::uint64_t{headers[n].first} + headers[n].second;
  }
  // Edges go in in id order, so each list ascends. `headers` now holds the
  // number of entries filled so far in each list.
  for (Cell& header : headers) header = Cell{0, 0, 0};
  constexpr std::uint64_t kEdgesPerPoll = std::uint64_t{1} << 22;
  for (std::uint64_t e = 0; e < edge_count; ++e) {
    if (e % kEdgesPerPoll == kEdgesPerPoll - 1 && poll_) poll_();
    const Id src = src_[e];
    const Id dst = dst_[e];
    const Id src_block = graph.block_of_[src];
    const Id dst_block = graph.block_of_[dst];
    const Id fwd_position = headers[src].first++;
    const Id rev_position = headers[dst].second++;
    graph.cells_[src_block + 1 + fwd_position] = {dst_block, relation_[e], rev_position};
    graph.cells_[dst_block + 1 + graph.cells_[dst_block].first + rev_position] = {src_block, relation_[e], fwd_position};
  }
  return graph;
}

}  // namespace vantrel
