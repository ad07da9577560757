#include "graph/bias.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "graph/builder.hpp"
#include "graph_support.hpp"

namespace vantrel {
namespace {

// A star of `leaves` edges from "hub", one node of many entries.
KG star(int leaves) {
  std::vector<Triple> triples;
  for (int i = 0; i < leaves; ++i) triples.emplace_back("hub", "r" + std::to_string(i % 3), "leaf" + std::to_string(i));
  return from_triples(std::move(triples));
}

// The first running sum above x, added in order from the node's first
// entry: the rule the search with checkpoints must give.
std::uint64_t first_above(const std::vector<double>& w, double x) {
  double sum = 0.0;
  for (std::size_t k = 0; k < w.size(); ++k) {
    sum = sum + w[k];
    if (x < sum) return k;
  }
  std::size_t last = w.size() - 1;
  while (!(w[last] > 0.0)) --last;
  return last;
}

TEST(Bias, TheSearchWithCheckpointsIsTheRunningSumsRule) {
  // Hubs of degrees around the checkpoint spacing, weights with zeros, and
  // x at every running sum and just beside it.
  std::mt19937_64 random(4);
  for (const int leaves : {1, 63, 64, 65, 127, 128, 129, 1000}) {
    const KG kg = star(leaves);
    BiasInputs inputs;
    inputs.relation_weights = std::vector<double>{0.0, 0.1, 3.0};
    std::vector<double>& node = inputs.node_weights.emplace(kg.node_count());
    for (double& weight : node) weight = random() % 4 == 0 ? 0.0 : static_cast<double>(random() % 1000) / 7.0;
    const auto bias = make_bias(kg, inputs);
    const auto& arrays = bias->arrays<std::uint32_t>();
    const auto& graph = kg.as<std::uint32_t>();
    const std::uint64_t hub_block = graph.blocks()[0];
    const std::uint64_t first = hub_block - 0;
    const std::uint64_t degree = graph.cells()[hub_block].header.forward_count;
    const std::vector<double> w(arrays.weights.data() + first, arrays.weights.data() + first + degree);
    double total = 0.0;
    for (const double weight : w) total = total + weight;
    EXPECT_EQ(total_weight(arrays, first, degree), total) << leaves;
    if (!(total > 0.0)) continue;
    std::vector<double> xs = {0.0, total, std::nextafter(total, 0.0)};
    double sum = 0.0;
    for (const double weight : w) {
      sum = sum + weight;
      xs.insert(xs.end(), {sum, std::nextafter(sum, 0.0), std::nextafter(sum, total)});
    }
    for (int i = 0; i < 200; ++i) xs.push_back(std::uniform_real_distribution<double>(0.0, total)(random));
    for (const double x : xs) {
      ASSERT_EQ(pick_weighted(arrays, first, degree, x), first_above(w, x)) << leaves << " leaves, x = " << x;
    }
  }
}

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
