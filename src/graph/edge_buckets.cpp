#include "graph/edge_buckets.hpp"

#include <sys/mman.h>

#include <new>
#include <utility>

namespace vantrel {

template <class Id>
RecordPage<Id>::RecordPage() {
  // Only the pages that records are written to become resident.
  void* memory = ::mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (memory == MAP_FAILED) throw std::bad_alloc();
  records_ = static_cast<EdgeRecord<Id>*>(memory);
}

template <class Id>
void RecordPage<Id>::release() {
  if (records_) ::munmap(records_, kBytes);
  records_ = nullptr;
  count_ = 0;
}

template <class Id>
RecordPage<Id>::~RecordPage() {
  release();
}

template <class Id>
void EdgeBuckets<Id>::settle_last_page(std::size_t index) {
  std::vector<RecordPage<Id>>& pages = pages_[index];
  if (!pages.empty()) pages.back().set_count(static_cast<std::size_t>(tails_[index].next - pages.back().records()));
}

template <class Id>
void EdgeBuckets<Id>::new_page(std::size_t index) {
  settle_last_page(index);
  std::vector<RecordPage<Id>>& pages = pages_[index];
  pages.reserve(pages.size() + 1);  // so that a failure below leaks no page
  pages.emplace_back();
  tails_[index] = {pages.back().records(), pages.back().records() + RecordPage<Id>::kRecords};
}

template <class Id>
std::size_t EdgeBuckets<Id>::add_buckets(std::size_t index) {
  while (index >= limits_.max_buckets) {
    // Each pair of neighbours becomes one bucket of twice the span.
    const std::size_t merged_count = (pages_.size() + 1) / 2;
    for (std::size_t merged = 0; merged < merged_count; ++merged) {
      const std::size_t low = 2 * merged;
      const std::size_t high = low + 1;
      settle_last_page(low);
      std::vector<RecordPage<Id>> pages = std::move(pages_[low]);
      Tail tail = tails_[low];
      if (high < pages_.size() && !pages_[high].empty()) {
        settle_last_page(high);
        pages.reserve(pages.size() + pages_[high].size());
        for (RecordPage<Id>& page : pages_[high]) pages.push_back(std::move(page));
        tail = tails_[high];
      }
      pages_[merged] = std::move(pages);
      tails_[merged] = tail;
    }
    pages_.resize(merged_count);
    tails_.resize(merged_count);
    ++shift_;
    index >>= 1;
  }
  if (index >= pages_.size()) {
    pages_.resize(index + 1);
    tails_.resize(index + 1);
  }
  return index;
}

template <class Id>
std::vector<RecordPage<Id>> EdgeBuckets<Id>::take(std::size_t index) {
  settle_last_page(index);
  tails_[index] = Tail{};
  return std::move(pages_[index]);
}

template class RecordPage<std::uint32_t>;
template class RecordPage<std::uint64_t>;
template class EdgeBuckets<std::uint32_t>;
template class EdgeBuckets<std::uint64_t>;

}  // namespace vantrel
