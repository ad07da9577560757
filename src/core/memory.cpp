#include "core/memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace vantrel {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Below this, an array is not worth a mapping of its own.
constexpr std::size_t kHugePageThreshold = 2 * kHugePage;

std::size_t mapping_size(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

}  // namespace

void* allocate_array_memory(std::size_t bytes, Pages pages) {
  if (bytes < kHugePageThreshold) {
    void* pointer = std::malloc(bytes == 0 ? 1 : bytes);
    if (!pointer) throw std::bad_alloc();
    return pointer;
  }
  if (bytes > SIZE_MAX - 2 * kHugePage) throw std::bad_alloc();
  // Over-map by one huge page so that the array can start on a huge-page boundary.
  const std::size_t size = mapping_size(bytes) + kHugePage;
  void* mapping = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(mapping);
  const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
  if (aligned > start) ::munmap(mapping, aligned - start);
  const std::size_t tail = start + size - (aligned + mapping_size(bytes));
  if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + mapping_size(bytes)), tail);
  // Only a hint: without huge pages the array works all the same.
  ::madvise(reinterpret_cast<void*>(aligned), mapping_size(bytes),
            pages == Pages::kHuge ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

void release_array_tail(void* pointer, std::size_t used, std::size_t bytes) {
  if (bytes < kHugePageThreshold) return;  // heap memory: kept whole
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t keep = (used + page - 1) / page * page;
  if (keep < mapping_size(bytes)) {
    ::madvise(static_cast<char*>(pointer) + keep, mapping_size(bytes) - keep, MADV_DONTNEED);
  }
}

void release_array_memory(void* pointer, std::size_t bytes) {
  if (bytes < kHugePageThreshold) {
    std::free(pointer);
  } else {
    ::munmap(pointer, mapping_size(bytes));
  }
}

std::uint64_t physical_memory_bytes() {
  static const std::uint64_t bytes =
      static_cast<std::uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  return bytes;
}

void ensure_fits_in_memory(std::uint64_t elements, std::uint64_t bytes_each) {
  if (bytes_each != 0 && elements >= physical_memory_bytes() / bytes_each) throw std::bad_alloc();
}

}  // namespace vantrel
