#include "graph/edge_buckets.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <span>
#include <vector>

namespace vantrel {
namespace {

// Appends records with random sources below `sources` (edge e gets relation
// e, so edge order can be read back), then checks that every bucket holds
// exactly the records of its source range, each source's in edge order.
template <class Id>
void expect_buckets_keep_every_record(BucketLimits limits, std::uint64_t sources, std::uint64_t records) {
  std::mt19937_64 random(sources * 31 + records);
  EdgeBuckets<Id> buckets(limits);
  std::vector<std::vector<std::uint64_t>> expected(sources);  // per source: its edges in order
  for (std::uint64_t e = 0; e < records; ++e) {
    // Sources climb as node ids do, with returns to old ones.
    const std::uint64_t source = random() % 4 == 0 ? random() % (1 + e * sources / records) : e * sources / records;
    buckets.append({static_cast<Id>(source), 0, static_cast<Id>(e), 0});
    expected[source].push_back(e);
  }
  EXPECT_LE(buckets.bucket_count(), limits.max_buckets);
  std::vector<std::vector<std::uint64_t>> seen(sources);
  for (std::size_t bucket = 0; bucket < buckets.bucket_count(); ++bucket) {
    for (const RecordPage<Id>& page : buckets.take(bucket)) {
      for (const EdgeRecord<Id>& record : std::span(page.records(), page.count())) {
        ASSERT_EQ(record.source >> buckets.shift(), bucket) << "edge " << record.relation;
        seen[record.source].push_back(record.relation);
      }
    }
  }
  EXPECT_EQ(seen, expected);
}

TEST(EdgeBuckets, MergingKeepsEveryRecordInItsRangeAndInEdgeOrder) {
  // Past the most buckets several times over, at even and odd bucket counts,
  // with pages filled (a page holds 2^20 bytes of records) and not.
  for (const BucketLimits limits : {BucketLimits{0, 2}, BucketLimits{1, 3}, BucketLimits{2, 8}}) {
    for (const std::uint64_t sources : {1u, 5u, 77u, 1000u}) {
      SCOPED_TRACE("shift " + std::to_string(limits.initial_shift) + ", at most " + std::to_string(limits.max_buckets) +
                   " buckets, " + std::to_string(sources) + " sources");
      expect_buckets_keep_every_record<std::uint32_t>(limits, sources, 3000);
      expect_buckets_keep_every_record<std::uint64_t>(limits, sources, 3000);
    }
  }
  expect_buckets_keep_every_record<std::uint32_t>({1, 4}, 300, 200000);
}

TEST(EdgeBuckets, SourcesPastTheDefaultBucketsMerge) {
  // 2^22 source ids fill the default 1024 buckets of 4096; the next one
  // merges them (the sizes at which text loaders used to crash).
  EdgeBuckets<std::uint32_t> buckets;
  for (const std::uint32_t source : {0u, 4095u, 4096u, (1u << 22) - 1, 1u << 22, (1u << 23) + 5}) {
    buckets.append({source, 0, source, 0});
  }
  EXPECT_EQ(buckets.shift(), 14u);
  EXPECT_LE(buckets.bucket_count(), 1024u);
  std::vector<std::uint32_t> seen;
  for (std::size_t bucket = 0; bucket < buckets.bucket_count(); ++bucket) {
    for (const auto& page : buckets.take(bucket)) {
      for (const auto& record : std::span(page.records(), page.count())) seen.push_back(record.relation);
    }
  }
  EXPECT_EQ(seen, (std::vector<std::uint32_t>{0, 4095, 4096, (1u << 22) - 1, 1u << 22, (1u << 23) + 5}));
}

}  // namespace
}  // namespace vantrel
