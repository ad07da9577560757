#include "graph/temporal.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "graph/builder.hpp"
#include "graph/entry_triples.hpp"
#include "graph_support.hpp"

namespace vantrel {
namespace {

// Each node's index lists its candidates by (time, candidate), knows the
// place of each, and says where each leads: the place, at the far node, of
// the entry a walk taking it arrives over there (as follow() records it),
// on a graph with hubs, self-loops, parallel edges and few distinct times.
TEST(Temporal, IndexOrdersByTimeAndKnowsWhereEachEntryLeads) {
  const KG kg = from_triples(random_triples({"temporal", 40, 900, 0.4, 0.1, 0.1}, 5));
  const auto& graph = kg.as<std::uint32_t>();
  std::vector<std::int64_t> times(graph.edge_count());
  for (std::uint64_t triple = 0; triple < times.size(); ++triple) times[triple] = (triple * 7) % 5;
  const auto temporal = make_temporal(
      kg, TemporalRule{}, std::make_shared<const TripleTimes>(ArrayRegion<std::int64_t>::adopt(std::move(times))));
  const auto* entries = temporal->entries<std::uint32_t>();
  const std::uint32_t* places = temporal->places<std::uint32_t>();
  const EntryTriples triples = entry_triples(kg);
  const Cell<std::uint32_t>* cells = graph.cells().data();
  for (std::uint64_t node = 0; node < graph.node_count(); ++node) {
    const std::uint64_t block = graph.blocks()[node];
    const HeaderCell<std::uint32_t>& header = cells[block].header;
    const auto* index = entries + block + 1;
    for (std::uint64_t place = 0; place < degree(header); ++place) {
      const std::uint64_t k = index[place].entry;
      ASSERT_LT(k, degree(header));
      EXPECT_EQ(places[first_entry(block, node) + k], place);
      // The times are 0 to 4, each of them some triple's: their ranks are the times.
      EXPECT_EQ(index[place].rank, (triples.data<std::uint32_t>()[first_entry(block, node) + k] * 7) % 5);
      if (place > 0) {
        EXPECT_LT(std::make_pair(index[place - 1].rank, index[place - 1].entry),
                  std::make_pair(index[place].rank, index[place].entry));
      }
      // Follow the entry as a walk does, and find the place it records.
      WalkPosition<std::uint32_t> at{static_cast<std::uint32_t>(block), WalkPosition<std::uint32_t>::kNoEntry};
      graph.follow(at, k, header.forward_count);
      const std::uint64_t far_forward = cells[at.block].header.forward_count;
      const std::uint64_t far_node = cells[at.block].header.node;
      EXPECT_EQ(index[place].far_place, places[first_entry(at.block, far_node) + at.removed_entry(far_forward)]);
    }
  }
}

}  // namespace
}  // namespace vantrel
