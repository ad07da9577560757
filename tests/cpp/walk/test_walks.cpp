#include "walk/walks.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <vector>

#include "graph/builder.hpp"
#include "graph_support.hpp"
#include "walk/stream_walks.hpp"

namespace vantrel {
namespace {

KG random_kg(unsigned seed, int nodes, int triples) {
  return from_triples(random_triples({"walks", nodes, triples}, seed));
}

WalkRules rules_for(double mean, std::uint64_t cap, std::uint64_t random_state) {
  return {Poisson::from_mean(mean), cap, key_from_seed(seed_from_random_state(random_state)), std::nullopt};
}

// Walk i drawn on its own: stream i + 1, length, start, steps.
std::vector<std::uint64_t> reference_walk(const KG& kg, const WalkRules& rules, std::uint64_t random_state,
                                          std::uint64_t i, StartRule start) {
  StdRng rng = StdRng::from_seed(seed_from_random_state(random_state), i + 1);
  const std::uint64_t path_len = draw_path_len(rules, rng);
  const std::uint64_t node =
      start.kind == StartRule::Kind::kDrawn ? kg.draw_start(rng) : start.fixed_node(i, kg.node_count());
  std::vector<std::uint64_t> tokens(path_len + 2);
  kg.walk(node, path_len, rng, tokens.data());
  return tokens;
}

template <class Token>
std::vector<std::uint64_t> walk_of(const WalkTokens<Token>& walks, std::size_t k) {
  return {walks.tokens.data() + walks.offsets[k], walks.tokens.data() + walks.offsets[k + 1]};
}

TEST(NumberedWalks, EachWalkIsItsOwnStreamWhateverTheThreadsAndWidth) {
  const KG kg = random_kg(3, 300, 900);
  for (const double mean : {4.0, 30.0}) {
    const WalkRules rules = rules_for(mean, 60, 8);
    const std::vector<std::uint64_t> listed = {kg.node_count() - 1, 0, 17, 17, 5};
    for (const StartRule start : {StartRule::kDrawn, StartRule::kEachNode, StartRule::listed(listed)}) {
      const std::uint64_t first = 4000;
      const std::uint64_t stop = first + 2 * 4096 + 77;  // more than one chunk, a partial batch
      const auto narrow =
          draw_numbered_walks<std::uint32_t>(kg, rules, {.first = first, .stop = stop, .start = start}, 0, {});
      const auto wide = draw_numbered_walks<std::uint64_t>(
          kg, rules, {.first = first, .stop = stop, .start = start, .threads = 3}, 0, {});
      ASSERT_EQ(narrow.offsets.size(), stop - first + 1);
      for (std::uint64_t k = 0; k < stop - first; k += 97) {
        const auto expected = reference_walk(kg, rules, 8, first + k, start);
        ASSERT_EQ(walk_of(narrow, k), expected) << k;
        ASSERT_EQ(walk_of(wide, k), expected) << k;
      }
      ASSERT_EQ(narrow.tokens.size(), wide.tokens.size());
      for (std::size_t t = 0; t < narrow.tokens.size(); ++t) ASSERT_EQ(narrow.tokens[t], wide.tokens[t]) << t;
    }
  }
}

TEST(NumberedWalks, PaddedSlotsAndLengthsFirstGiveTheSameWalks) {
  // The two layouts, on both sides of the bytes that padded slots may take
  // (padded: slots of the longest walk; else each length drawn first).
  const KG kg = random_kg(9, 40, 300);
  const WalkRules rules = rules_for(6.0, 12, 4);  // 7 steps expected, at most 12: little waste
  constexpr std::uint64_t kFirst = 123, kCount = 500;
  for (const Items items : {Items::kPath, Items::kFull}) {
    const std::uint64_t padded_bytes = kCount * item_count(items, 12) * sizeof(std::uint32_t);
    for (const std::uint64_t most : {std::uint64_t{0}, padded_bytes - 1, padded_bytes, UINT64_MAX}) {
      SCOPED_TRACE("at most " + std::to_string(most) + " bytes of padded slots");
      const WalkRequest request{.first = kFirst, .stop = kFirst + kCount, .items = items, .threads = 2};
      const auto whole = draw_numbered_walks<std::uint32_t>(kg, rules, request, 0, {}, most);
      WalkBuffers<std::uint32_t> chunk;
      draw_numbered_chunk(kg, rules, request, chunk, {}, most);
      const auto& tokens = chunk.tokens;
      const std::vector<std::uint64_t>& ends = chunk.ends;
      // Padded slots take room for the longest walks; lengths first, only what the walks hold.
      EXPECT_EQ(tokens.size() == kCount * item_count(items, 12), most >= padded_bytes);
      for (std::uint64_t k = 0; k < kCount; ++k) {
        const std::uint32_t* at = whole.tokens.data() + whole.offsets[k];
        const std::vector<std::uint32_t> in_whole(at, at + (whole.offsets[k + 1] - whole.offsets[k]));
        const std::uint32_t* chunk_at = tokens.data() + ends[k];
        ASSERT_EQ(std::vector<std::uint32_t>(chunk_at, chunk_at + (ends[k + 1] - ends[k])), in_whole) << k;
        if (items == Items::kPath) {
          const auto expected = reference_walk(kg, rules, 4, kFirst + k, StartRule::kDrawn);
          ASSERT_EQ(std::vector<std::uint64_t>(in_whole.begin(), in_whole.end()), expected) << k;
        }
      }
    }
  }
}

TEST(StreamWalks, EqualWalksDrawnOneByOne) {
  const KG kg = random_kg(5, 50, 200);
  const WalkRules rules = rules_for(3.0, 10, 2);
  StdRng batch = StdRng::from_seed(seed_from_random_state(2));
  StdRng single = batch;
  const auto walks = draw_stream_walks<std::uint64_t>(kg, rules, batch, 300, 0, {});
  for (std::size_t k = 0; k < 300; ++k) {
    const std::uint64_t path_len = draw_path_len(rules, single);
    const std::uint64_t start = kg.draw_start(single);
    std::vector<std::uint64_t> tokens(path_len + 2);
    kg.walk(start, path_len, single, tokens.data());
    ASSERT_EQ(walk_of(walks, k), tokens) << k;
  }
  EXPECT_EQ(batch.next_u64(), single.next_u64());
}

}  // namespace
}  // namespace vantrel
