#include "graph/metapath.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "graph/builder.hpp"
#include "graph_support.hpp"

namespace vantrel {
namespace {

// Each node's entries, in the index, come sorted by (step key, position),
// and a walk takes only edges of the pattern's keys.
TEST(Metapath, IndexSortsEachNodesEntriesByKey) {
  const KG kg = from_triples(random_triples({"metapath", 30, 400, 0.4, 0.1, 0.1}, 11));
  const auto metapath = make_metapath(kg, {0, 3});
  const auto& graph = kg.as<std::uint32_t>();
  const std::uint32_t* order = metapath->order<std::uint32_t>().data();
  for (std::uint64_t node = 0; node < graph.node_count(); ++node) {
    const std::uint64_t block = graph.blocks()[node];
    const HeaderCell<std::uint32_t>& header = graph.cells()[block].header;
    auto key = [&](std::uint64_t k) {
      return 2 * std::uint64_t{graph.cells()[entry_cell(block, k)].edge.relation} + (k < header.forward_count ? 0 : 1);
    };
    const std::uint32_t* entries = order + first_entry(block, node);
    std::vector<bool> seen(degree(header), false);
    for (std::uint64_t i = 0; i < degree(header); ++i) {
      ASSERT_LT(entries[i], degree(header));
      seen[entries[i]] = true;
      if (i > 0) {
        EXPECT_LT(std::make_pair(key(entries[i - 1]), entries[i - 1]), std::make_pair(key(entries[i]), entries[i]));
      }
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), static_cast<long>(degree(header)));
  }
  const KG walked = kg.with_metapath(metapath);
  StdRng rng = StdRng::from_seed(seed_from_random_state(3));
  std::vector<std::uint64_t> tokens(14);
  for (int walk = 0; walk < 200; ++walk) {
    const std::uint64_t count = walked.walk(walked.draw_start(rng), 12, rng, tokens.data());
    for (std::uint64_t step = 0; step + 2 < count; ++step) {
      EXPECT_EQ(tokens[1 + step] - kg.node_count(), step % 2 == 0 ? 0u : 3u);
    }
  }
}

}  // namespace
}  // namespace vantrel
