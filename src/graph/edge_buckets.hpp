// Edges collected while a graph is built, grouped by ranges of their source
// node ids, so that laying out the graph's blocks can take them one node
// range at a time and give each range's memory back as it goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantrel {

// One edge as the builder knows it before the layout: its two ends, its
// relation, and its rank among the edges that reach `target`.
template <class Id>
struct EdgeRecord {
  Id source;
  Id target;
  Id relation;
  Id target_position;
};

// Pages of records from their own anonymous mapping, returned to the kernel
// when dropped, so that memory given back is really given back.
template <class Id>
class RecordPage {
 public:
  static constexpr std::size_t kBytes = std::size_t{1} << 20;
  static constexpr std::size_t kRecords = kBytes / sizeof(EdgeRecord<Id>);

  // Throws std::bad_alloc.
  RecordPage();
  RecordPage(RecordPage&& other) noexcept : records_(other.records_), count_(other.count_) { other.records_ = nullptr; }
  RecordPage& operator=(RecordPage&&) = delete;
  RecordPage(const RecordPage&) = delete;
  ~RecordPage();

  EdgeRecord<Id>* records() const { return records_; }
  // Gives the page back now; it holds no records after.
  void release();
  std::size_t count() const { return count_; }
  void set_count(std::size_t count) { count_ = count; }

 private:
  EdgeRecord<Id>* records_;
  std::size_t count_ = 0;
};

// How EdgeBuckets groups source ids: buckets of 2^initial_shift ids to
// begin with, never more than max_buckets of them (tests make both small,
// to merge buckets with few nodes).
struct BucketLimits {
  unsigned initial_shift = 12;
  std::size_t max_buckets = 1024;
};

// The records, appended in edge order, grouped into buckets of 2^shift
// consecutive source ids. Within a bucket the records keep edge order. When
// the node ids outgrow the most buckets allowed, neighbouring buckets merge
// (their pages are concatenated, which keeps each source's records in edge
// order), so that the partly filled last pages stay few.
template <class Id>
class EdgeBuckets {
 public:
  explicit EdgeBuckets(BucketLimits limits = {}) : limits_(limits), shift_(limits.initial_shift) {}

  void append(const EdgeRecord<Id>& record) {
    std::size_t index = static_cast<std::size_t>(record.source >> shift_);
    if (index >= tails_.size()) [[unlikely]]
      index = add_buckets(index);
    Tail& tail = tails_[index];
    if (tail.next == tail.end) [[unlikely]]
      new_page(index);
    *tail.next++ = record;
  }

  // The source ids of bucket `index` are [index << shift(), (index + 1) << shift()).
  unsigned shift() const { return shift_; }
  std::size_t bucket_count() const { return pages_.size(); }
  const BucketLimits& limits() const { return limits_; }

  // Takes bucket `index`'s pages, in edge order, leaving it empty.
  std::vector<RecordPage<Id>> take(std::size_t index);

 private:
  struct Tail {
    EdgeRecord<Id>* next = nullptr;
    EdgeRecord<Id>* end = nullptr;
  };
  // Makes room for bucket `index` (of the current shift), merging buckets
  // as needed; returns the record's bucket index under the new shift.
  std::size_t add_buckets(std::size_t index);
  void new_page(std::size_t index);
  // Records in the last page of bucket `index`, from its tail.
  void settle_last_page(std::size_t index);

  BucketLimits limits_;
  unsigned shift_;
  std::vector<std::vector<RecordPage<Id>>> pages_;
  std::vector<Tail> tails_;  // where the next record of each bucket goes
};

extern template class RecordPage<std::uint32_t>;
extern template class RecordPage<std::uint64_t>;
extern template class EdgeBuckets<std::uint32_t>;
extern template class EdgeBuckets<std::uint64_t>;

}  // namespace vantrel
