#include "graph/weighted_pick.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "graph/bias.hpp"
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

TEST(WeightedPick, TheSearchWithCheckpointsIsTheRunningSumsRule) {
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
    EXPECT_EQ(total_weight(arrays.weights.data(), arrays.checkpoints.data(), first, degree), total) << leaves;
    if (!(total > 0.0)) continue;
    std::vector<double> xs = {0.0, total, std::nextafter(total, 0.0)};
    double sum = 0.0;
    for (const double weight : w) {
      sum = sum + weight;
      xs.insert(xs.end(), {sum, std::nextafter(sum, 0.0), std::nextafter(sum, total)});
    }
    for (int i = 0; i < 200; ++i) xs.push_back(std::uniform_real_distribution<double>(0.0, total)(random));
    for (const double x : xs) {
      ASSERT_EQ(pick_weighted(arrays.weights.data(), arrays.checkpoints.data(), first, degree, x), first_above(w, x))
          << leaves << " leaves, x = " << x;
    }
  }
}

}  // namespace
}  // namespace vantrel
