// The memory that the graph's arrays live in. An array is either owned
// (allocated here; large ones straight from the kernel on transparent huge
// pages) or a read-only view into memory that something else keeps alive,
// such as a mapped file. Readers see one type either way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace vantrel {

// The machine's physical memory in bytes.
std::uint64_t physical_memory_bytes();

// Refuses, with std::bad_alloc, work whose memory could never be had: more
// than the machine's physical memory.
void ensure_fits_in_memory(std::uint64_t elements, std::uint64_t bytes_each);

// An allocator for vectors of plain values that leaves the elements that
// resize() adds unwritten, as make_unique_for_overwrite does: a buffer grown
// for output that is written next is not first zeroed. Large buffers come
// straight from the kernel, whose pages are zeroed as they are first
// touched, by the writer, between its polls for interrupts.
template <class T>
struct OverwriteAllocator : std::allocator<T> {
  static_assert(std::is_trivially_default_constructible_v<T>);
  template <class U>
  struct rebind {
    using other = OverwriteAllocator<U>;
  };
  OverwriteAllocator() = default;
  template <class U>
  explicit OverwriteAllocator(const OverwriteAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* at) noexcept {
    ::new (static_cast<void*>(at)) U;
  }
  template <class U, class... Args>
  void construct(U* at, Args&&... args) {
    ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
  }
};

// A vector whose resize() leaves new elements unwritten.
template <class T>
using OverwriteVector = std::vector<T, OverwriteAllocator<T>>;

// How the pages of a large array are asked for: huge pages for arrays that
// walks read at random (the graph's), since a walk jumps around arrays of
// hundreds of megabytes and with 4 KiB pages nearly every step would also
// miss the TLB; small pages for arrays written in order, parts of which may
// never be written (walks' output in slots of the longest walk), since a
// huge page is zeroed whole when first touched.
enum class Pages { kHuge, kSmall };

// Allocates `bytes` for a large array: below a few megabytes from the heap,
// above that as an anonymous mapping aligned to 2 MiB, with `pages`.
// Throws std::bad_alloc. Released by release_array_memory with the same size.
void* allocate_array_memory(std::size_t bytes, Pages pages = Pages::kHuge);
void release_array_memory(void* pointer, std::size_t bytes);
// Gives the pages of [pointer + used, pointer + bytes) back to the kernel
// where the memory is a mapping of its own; they read as zero if touched again.
void release_array_tail(void* pointer, std::size_t used, std::size_t bytes);

// A fixed-size array of trivially copyable T that the graph reads. Move-only.
template <class T>
class ArrayRegion {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  ArrayRegion() = default;
  ArrayRegion(ArrayRegion&&) noexcept = default;
  ArrayRegion& operator=(ArrayRegion&&) noexcept = default;
  ArrayRegion(const ArrayRegion&) = delete;
  ArrayRegion& operator=(const ArrayRegion&) = delete;

  // Owned memory for `count` elements, not initialised: the caller writes
  // every element through mutable_data() before anyone reads. `pages` as
  // allocate_array_memory takes it.
  static ArrayRegion allocate(std::size_t count, Pages pages = Pages::kHuge) {
    if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = count * sizeof(T);
    void* memory = allocate_array_memory(bytes, pages);
    ArrayRegion region;
    region.keeper_ = std::shared_ptr<void>(memory, [bytes](void* p) { release_array_memory(p, bytes); });
    region.data_ = static_cast<T*>(memory);
    region.size_ = count;
    region.allocated_bytes_ = bytes;
    return region;
  }

  // Takes over the storage of `elements` without copying it.
  static ArrayRegion adopt(std::vector<T>&& elements) {
    auto owner = std::make_shared<std::vector<T>>(std::move(elements));
    ArrayRegion region;
    region.data_ = owner->data();
    region.size_ = owner->size();
    region.keeper_ = std::move(owner);
    return region;
  }

  // A read-only view of `count` elements at `data`, valid while `keeper` lives.
  static ArrayRegion view(const T* data, std::size_t count, std::shared_ptr<const void> keeper) {
    ArrayRegion region;
    region.data_ = const_cast<T*>(data);  // never written through: mutable_data() is for owned memory
    region.size_ = count;
    region.keeper_ = std::const_pointer_cast<void>(std::move(keeper));
    return region;
  }

  const T* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const T& operator[](std::size_t index) const { return data_[index]; }
  std::span<const T> span() const { return {data_, size_}; }

  // A read-only view of the same elements, keeping their memory alive as
  // long as either lives.
  ArrayRegion share() const { return view(data_, size_, keeper_); }

  // Writable access while an owner fills memory it allocated or adopted.
  T* mutable_data() { return data_; }

  // Keeps the first `count` elements of memory from allocate(), giving the
  // rest back to the kernel where it can.
  void shrink(std::size_t count) {
    if (count >= size_) return;
    if (allocated_bytes_ != 0) release_array_tail(data_, count * sizeof(T), allocated_bytes_);
    size_ = count;
  }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t allocated_bytes_ = 0;  // non-zero for memory from allocate()
  std::shared_ptr<void> keeper_;
};

}  // namespace vantrel
