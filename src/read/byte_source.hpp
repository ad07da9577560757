// Where the bytes of a graph come from: a file, a buffer in memory, or (in
// the binding) a Python file object. Read in pieces, in order, once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/file_io.hpp"
#include "core/interrupt.hpp"

namespace vantrel {

// A stream of bytes read front to back.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `capacity` (> 0) bytes into `buffer`, returning how many;
  // 0 only at the end. Calls `poll` when a blocking read is interrupted.
  // Throws on failure.
  virtual std::size_t read(char* buffer, std::size_t capacity, const InterruptPoll& poll) = 0;
  // As many bytes as the whole stream holds, when that is known beforehand
  // (a file may still grow while it is read).
  virtual std::optional<std::uint64_t> size_bound() const { return std::nullopt; }
  // Whether read() may be called on any thread; if not, only on the thread
  // that hands the source to the reader.
  virtual bool reads_on_any_thread() const { return true; }
};

// The bytes of a file, as the triple reader opens it: IoError for a path
// with a NUL byte, the operating system's errors for the rest.
class FileSource final : public ByteSource {
 public:
  FileSource(const std::string& path, const InterruptPoll& poll);
  std::size_t read(char* buffer, std::size_t capacity, const InterruptPoll& poll) override;
  std::optional<std::uint64_t> size_bound() const override { return size_bound_; }

 private:
  ReadOnlyFile file_;
  std::optional<std::uint64_t> size_bound_;  // a regular file's size when opened
};

// Another source's bytes, counted as they are read (on any thread).
class CountingSource final : public ByteSource {
 public:
  explicit CountingSource(ByteSource& source) : source_(source) {}
  std::size_t read(char* buffer, std::size_t capacity, const InterruptPoll& poll) override {
    const std::size_t got = source_.read(buffer, capacity, poll);
    bytes_read_.fetch_add(got, std::memory_order_relaxed);
    return got;
  }
  std::optional<std::uint64_t> size_bound() const override { return source_.size_bound(); }
  bool reads_on_any_thread() const override { return source_.reads_on_any_thread(); }
  // The bytes read so far.
  std::uint64_t bytes_read() const { return bytes_read_.load(std::memory_order_relaxed); }

 private:
  ByteSource& source_;
  std::atomic<std::uint64_t> bytes_read_{0};
};

// The bytes of a text in memory, which must outlive the source.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string_view text) : text_(text) {}
  std::size_t read(char* buffer, std::size_t capacity, const InterruptPoll& poll) override;
  std::optional<std::uint64_t> size_bound() const override { return text_.size(); }

 private:
  std::string_view text_;
};

}  // namespace vantrel
