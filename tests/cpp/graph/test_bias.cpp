#include "graph/bias.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph/builder.hpp"
#include "graph_support.hpp"

namespace vantrel {
namespace {

TEST(Bias, NeighboursOfANodeAreFoundAndOthersAreNot) {
  // A node of many parallel and distinct neighbours: node2vec's index holds
  // each far block once, sorted, the rest of the node's entries padding.
  std::vector<Triple> triples;
  for (int i = 0; i < 300; ++i) triples.emplace_back("u", "r", "v" + std::to_string(i % 37));
  triples.emplace_back("w", "r", "u");
  const KG kg = from_triples(std::move(triples));
  BiasInputs inputs;
  inputs.p = 2.0;
  const auto bias = make_bias(kg, inputs);
  const auto& arrays = bias->arrays<std::uint32_t>();
  const auto& graph = kg.as<std::uint32_t>();
  const std::uint64_t block = graph.blocks()[0];
  const std::uint32_t* list = arrays.far_blocks.data() + block;
  std::vector<std::uint32_t> expected;
  for (std::uint64_t node = 1; node <= 37; ++node) expected.push_back(graph.blocks()[node]);
  expected.push_back(graph.blocks()[38]);  // w, reached backward
  std::sort(expected.begin(), expected.end());
  ASSERT_EQ(std::vector<std::uint32_t>(list, list + expected.size()), expected);
  for (std::size_t k = expected.size(); k < 301; ++k) EXPECT_EQ(list[k], BiasArrays<std::uint32_t>::kNoBlock);
  // v0 leads back to u alone: its bit is set; u's is not.
  EXPECT_TRUE((arrays.single_target[0] >> 1) & 1);
  EXPECT_FALSE(arrays.single_target[0] & 1);
}

TEST(Bias, AHubsFarBlocksAreASearchTreeReadInOrder) {
  // Past kCandidatesInCache candidates, the distinct far blocks and the
  // padding are a tree whose slots, read in order (slot k's children at 2k
  // and 2k + 1), are sorted.
  constexpr std::uint64_t kEntries = 700;
  std::vector<Triple> triples;
  for (std::uint64_t i = 0; i < kEntries; ++i) triples.emplace_back("hub", "r", "v" + std::to_string(i % 450));
  const KG kg = from_triples(std::move(triples));
  BiasInputs inputs;
  inputs.q = 2.0;
  const auto bias = make_bias(kg, inputs);
  const auto& graph = kg.as<std::uint32_t>();
  const std::uint32_t* tree = bias->arrays<std::uint32_t>().far_blocks.data() + graph.blocks()[0];
  std::vector<std::uint32_t> expected;
  for (std::uint64_t node = 1; node <= 450; ++node) expected.push_back(graph.blocks()[node]);
  std::sort(expected.begin(), expected.end());
  expected.resize(kEntries, BiasArrays<std::uint32_t>::kNoBlock);
  std::vector<std::uint32_t> in_order;
  auto visit = [&](auto&& self, std::uint64_t k) -> void {
    if (k > kEntries) return;
    self(self, 2 * k);
    in_order.push_back(tree[k - 1]);
    self(self, 2 * k + 1);
  };
  visit(visit, 1);
  EXPECT_EQ(in_order, expected);
}

}  // namespace
}  // namespace vantrel
