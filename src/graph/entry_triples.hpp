// The triple behind every entry of the graph a sampler walks: its row in
// triple_ids(), the graph as read, whatever the restriction. What a walk
// that lists edges lists.
#pragma once

#include <cstdint>
#include <variant>

#include "core/interrupt.hpp"
#include "core/memory.hpp"
#include "graph/kg.hpp"

namespace vantrel {

class EntryTriples {
 public:
  EntryTriples() = default;
  template <class Id>
  explicit EntryTriples(ArrayRegion<Id> triples) : triples_(std::move(triples)) {}

  // The triples, at the id width of the graph (which holds every triple number).
  template <class Id>
  const Id* data() const {
    return std::get<ArrayRegion<Id>>(triples_).data();
  }

 private:
  std::variant<ArrayRegion<std::uint32_t>, ArrayRegion<std::uint64_t>> triples_;
};

// The triple of each entry of the graph `kg` walks, by entry number (graph/layout.hpp),
// on every CPU. Throws std::invalid_argument where the graph as read
// cannot list its triples (as triple_ids() does), std::bad_alloc.
EntryTriples entry_triples(const KG& kg, const InterruptPoll& poll = {});

}  // namespace vantrel
