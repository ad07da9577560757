#include "graph/kg.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "graph/builder.hpp"
#include "graph_support.hpp"

namespace vantrel {
namespace {

using Triples = std::vector<Triple>;
using Strings = std::vector<std::string>;

StdRng rng_for(std::uint64_t random_state) { return StdRng::from_seed(seed_from_random_state(random_state)); }

// The walk exactly as its rules read: copy both lists into a candidate list,
// remove the previous edge's first entry unless it is the only one, draw.
struct ReferenceGraph {
  struct Node {
    std::string label;
    std::vector<std::uint64_t> fwd, rev;
  };
  struct Edge {
    std::uint64_t src, dst;
    std::string label;
  };
  std::vector<Node> nodes;
  std::vector<Edge> edges;

  explicit ReferenceGraph(const Triples& triples) {
    std::map<std::string, std::uint64_t> ids;
    auto id_of = [&](const std::string& label) {
      auto [it, inserted] = ids.emplace(label, nodes.size());
      if (inserted) nodes.push_back({label, {}, {}});
      return it->second;
    };
    for (const Triple& t : triples) {
      const std::uint64_t i = id_of(t.head);
      nodes[i].fwd.push_back(edges.size());
      const std::uint64_t j = id_of(t.tail);
      nodes[j].rev.push_back(edges.size());
      edges.push_back({i, j, t.relation});
    }
  }

  Strings sample_path(std::uint64_t path_len, StdRng& rng) const {
    Strings path;
    const Node* node = &nodes[rng.gen_range(0, nodes.size())];
    const Edge* prev = nullptr;
    path.push_back(node->label);
    for (std::uint64_t step = 0; step < path_len; ++step) {
      std::vector<std::uint64_t> candidates = node->fwd;
      candidates.insert(candidates.end(), node->rev.begin(), node->rev.end());
      std::uint64_t boundary = node->fwd.size();
      if (prev) {
        const std::uint64_t prev_id = static_cast<std::uint64_t>(prev - edges.data());
        for (std::size_t k = 0; k < candidates.size(); ++k) {
          if (candidates[k] != prev_id) continue;
          if (candidates.size() >= 2) {
            candidates.erase(candidates.begin() + static_cast<std::ptrdiff_t>(k));
            if (k < boundary) --boundary;
          }
          break;
        }
      }
      const std::uint64_t i = rng.gen_range(0, candidates.size());
      const Edge& edge = edges[candidates[i]];
      const bool fwd = i < boundary;
      prev = &edge;
      node = &nodes[fwd ? edge.dst : edge.src];
      path.push_back(edge.label + (fwd ? "::-->" : "::<--"));
    }
    path.push_back(node->label);
    return path;
  }
};

class WalkMatchesReference : public ::testing::TestWithParam<RandomGraphShape> {};

TEST_P(WalkMatchesReference, CallForCall) {
  for (std::uint64_t graph_seed = 0; graph_seed < 6; ++graph_seed) {
    const Triples triples = random_triples(GetParam(), graph_seed);
    const ReferenceGraph reference(triples);
    const KG narrow = from_triples(triples);
    const KG wide = from_triples(triples, IdWidth::k64);
    for (std::uint64_t random_state : {std::uint64_t{0}, std::uint64_t{1}, graph_seed + 17, UINT64_MAX}) {
      StdRng expected_rng = rng_for(random_state);
      StdRng narrow_rng = rng_for(random_state);
      StdRng wide_rng = rng_for(random_state);
      for (std::uint64_t path_len : {0, 1, 2, 3, 7, 30, 1, 200}) {
        const Strings expected = reference.sample_path(path_len, expected_rng);
        ASSERT_EQ(narrow.sample_path(path_len, narrow_rng, "::-->", "::<--"), expected);
        ASSERT_EQ(wide.sample_path(path_len, wide_rng, "::-->", "::<--"), expected);
      }
      const std::uint64_t next = expected_rng.next_u64();
      EXPECT_EQ(narrow_rng.next_u64(), next);
      EXPECT_EQ(wide_rng.next_u64(), next);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, WalkMatchesReference,
                         ::testing::Values(RandomGraphShape{"Sparse", 200, 300, 0.0, 0.02, 0.02},
                                           RandomGraphShape{"Hub", 100, 600, 0.6, 0.05, 0.05},
                                           RandomGraphShape{"LoopsAndTwins", 5, 40, 0.1, 0.3, 0.3},
                                           RandomGraphShape{"TwoNodes", 2, 6, 0.0, 0.2, 0.5},
                                           RandomGraphShape{"OneNode", 1, 3, 0.0, 1.0, 0.0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Walk, ZeroStepsGivesStartLabelTwiceAfterOneDraw) {
  const KG kg = from_triples({{"A", "r", "B"}, {"B", "s", "C"}});
  StdRng rng = rng_for(9);
  StdRng mirror = rng_for(9);
  const Strings path = kg.sample_path(0, rng, "::-->", "::<--");
  ASSERT_EQ(path.size(), 2u);
  EXPECT_EQ(path[0], path[1]);
  mirror.gen_range(0, 3);
  EXPECT_EQ(rng.next_u64(), mirror.next_u64());
}

TEST(Walk, SingleEdgeGoesBackAndForth) {
  const KG kg = from_triples({{"A", "r", "B"}});
  for (std::uint64_t seed = 0; seed < 20; ++seed) {
    StdRng rng = rng_for(seed);
    const Strings path = kg.sample_path(3, rng, "::-->", "::<--");
    if (path.front() == "A") {
      EXPECT_EQ(path, (Strings{"A", "r::-->", "r::<--", "r::-->", "B"}));
    } else {
      EXPECT_EQ(path, (Strings{"B", "r::<--", "r::-->", "r::<--", "A"}));
    }
  }
}

TEST(Walk, SelfLoopGoesBackwardAfterFirstStep) {
  const KG kg = from_triples({{"A", "r", "A"}});
  bool saw_forward_first = false;
  bool saw_backward_first = false;
  for (std::uint64_t seed = 0; seed < 40; ++seed) {
    StdRng rng = rng_for(seed);
    const Strings path = kg.sample_path(6, rng, "::-->", "::<--");
    ASSERT_EQ(path.size(), 8u);
    EXPECT_EQ(path.front(), "A");
    EXPECT_EQ(path.back(), "A");
    (path[1] == "r::-->" ? saw_forward_first : saw_backward_first) = true;
    for (std::size_t k = 2; k < 7; ++k) EXPECT_EQ(path[k], "r::<--");
  }
  EXPECT_TRUE(saw_forward_first);
  EXPECT_TRUE(saw_backward_first);
}

TEST(Walk, EmptyGraphFailsBeforeDrawing) {
  const KG kg = from_triples({});
  StdRng rng = rng_for(1);
  EXPECT_THROW(kg.sample_path(5, rng, "::-->", "::<--"), EmptyRangeError);
  EXPECT_EQ(rng.draws_made(), 0u);
}

struct Interrupted {};

TEST(Interrupts, LongWalkCallsThePollEveryMillionSteps) {
  const KG kg = from_triples({{"A", "r", "B"}});
  StdRng rng = rng_for(1);
  std::vector<std::uint32_t> out((3u << 20) + 2);
  int polls = 0;
  kg.walk(0, 3u << 20, rng, out.data(), [&] { ++polls; });
  EXPECT_EQ(polls, 3);
  EXPECT_THROW(kg.walk(0, 3u << 20, rng, out.data(), [] { throw Interrupted{}; }), Interrupted);
}

TEST(Walk, ResultHasPathLenPlusTwoStrings) {
  const KG kg = from_triples({{"A", "r", "B"}, {"B", "s", "C"}, {"C", "r", "B"}});
  StdRng rng = rng_for(4);
  for (std::uint64_t path_len = 0; path_len < 50; ++path_len) {
    const Strings path = kg.sample_path(path_len, rng, "::-->", "::<--");
    ASSERT_EQ(path.size(), path_len + 2);
    for (std::size_t k = 1; k + 1 < path.size(); ++k) {
      EXPECT_TRUE(path[k].ends_with("::-->") || path[k].ends_with("::<--")) << path[k];
    }
  }
}

}  // namespace
}  // namespace vantrel
