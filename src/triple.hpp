// The triple file: one (head, relation, tail) per line, fields separated by
// tabs. Reading the file whole as strict UTF-8, cutting it into lines and
// fields, and the records that the reader yields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <emmintrin.h>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

// Reading the data file failed: it could not be opened or read, its name
// held a NUL byte, or its content was not UTF-8. The message describes the
// error as "called `Result::unwrap()` on an `Err` value: " and a description.
class IoError : public std::runtime_error {
 public:
  // An error reported by the operating system with `code` (an errno value).
  static IoError from_os(int code);
  // An error of the reader's own, with a kind name such as "InvalidData".
  static IoError custom(std::string_view kind, std::string_view text);

  // The errno value for an operating-system error, 0 otherwise.
  int os_code() const { return os_code_; }
  // The kind name: "NotFound", "PermissionDenied", "InvalidData", ...
  const std::string& kind() const { return kind_; }

 private:
  IoError(std::string message, int os_code, std::string kind);
  int os_code_;
  std::string kind_;
};

// A line with fewer than three fields. The message is fixed and names no
// line; `line_number` (1-based) is there for the caller's own report.
class ShortLineError : public std::runtime_error {
 public:
  ShortLineError(std::size_t fields, std::size_t missing_index, std::uint64_t line_number);
  std::uint64_t line_number() const { return line_number_; }

 private:
  std::uint64_t line_number_;
};

// Called now and then during long work (and whenever a blocking system call
// was interrupted by a signal) so that the caller can abandon the work by
// throwing. Empty: never called.
using InterruptPoll = std::function<void()>;

// The rust-style kind name that an errno value falls under.
std::string_view io_error_kind(int code);

// The whole content of a file, in one buffer that is not zero-filled first.
class FileContent {
 public:
  FileContent() = default;
  std::string_view text() const { return {data_.get(), size_}; }
  // Takes a buffer whose first `size` bytes hold the content.
  FileContent(std::unique_ptr<char[]> data, std::size_t size) : data_(std::move(data)), size_(size) {}

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
};

// Reads the file at `path` whole and checks that it is strict UTF-8.
// Throws IoError: InvalidInput if the path holds a NUL byte (nothing is
// opened then), an operating-system error, or InvalidData for bad UTF-8.
// A blocking open or read that a signal interrupts calls `poll`, then goes on.
FileContent read_text_file(const std::string& path, const InterruptPoll& poll = {});

// True if `bytes` is valid UTF-8: no overlong forms, no surrogates, nothing
// above U+10FFFF, no truncated sequence.
bool is_valid_utf8(std::string_view bytes);

// True if every byte of `text` is below 0x80.
bool is_ascii(std::string_view text);

// Column order of a triple line.
enum class TripleOrder { HRT = 0, HTR = 1 };

// One line of the file: three owned texts.
struct Triple {
  std::string head;
  std::string relation;
  std::string tail;

  Triple(std::string_view head_text, std::string_view relation_text, std::string_view tail_text)
      : head(head_text), relation(relation_text), tail(tail_text) {}
  friend bool operator==(const Triple&, const Triple&) = default;
};

// The number of lines that `content` holds: line feeds, plus one for a last
// line without a line feed.
std::uint64_t count_lines(std::string_view content);

// Cuts `content` into lines and fields and calls visit(head, relation, tail)
// for each line in order, with views into `content`. Throws ShortLineError
// at the first line with fewer than three fields; lines after it are not looked at.
template <class Visit>
void for_each_triple(std::string_view content, TripleOrder order, Visit&& visit);

// One Triple per line of `content`, in line order.
std::vector<Triple> read_triples(std::string_view content, TripleOrder order);

// ---------------------------------------------------------------------------

namespace detail {

inline const char* find_byte(const char* begin, const char* end, char byte) {
  return static_cast<const char*>(std::memchr(begin, byte, static_cast<std::size_t>(end - begin)));
}

// The first tab or line feed in [begin, end), or end. Fields are short, so
// this scans sixteen bytes at a time inline rather than calling memchr.
inline const char* find_separator(const char* begin, const char* end) {
  const __m128i tab = _mm_set1_epi8('\t');
  const __m128i newline = _mm_set1_epi8('\n');
  for (; end - begin >= 16; begin += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(begin));
    const int hits = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, tab), _mm_cmpeq_epi8(bytes, newline)));
    if (hits != 0) return begin + __builtin_ctz(static_cast<unsigned>(hits));
  }
  for (; begin < end; ++begin) {
    if (*begin == '\t' || *begin == '\n') return begin;
  }
  return end;
}

}  // namespace detail

template <class Visit>
void for_each_triple(std::string_view content, TripleOrder order, Visit&& visit) {
  const char* cursor = content.data();
  const char* const end = content.data() + content.size();
  std::uint64_t line_number = 0;
  // A field that ends the line loses the carriage return that ends the line.
  auto last_field_end = [](const char* field_begin, const char* line_end) {
    return line_end > field_begin && line_end[-1] == '\r' ? line_end - 1 : line_end;
  };
  while (cursor < end) {
    ++line_number;
    const char* first = detail::find_separator(cursor, end);
    if (first == end || *first == '\n') throw ShortLineError(1, order == TripleOrder::HRT ? 1 : 2, line_number);
    const char* second = detail::find_separator(first + 1, end);
    if (second == end || *second == '\n') throw ShortLineError(2, 2, line_number);
    const char* third = detail::find_separator(second + 1, end);
    const char* field2_end;
    const char* next;
    if (third != end && *third == '\t') {
      field2_end = third;
      const char* newline = detail::find_byte(third + 1, end, '\n');
      next = newline ? newline + 1 : end;
    } else {
      field2_end = last_field_end(second + 1, third);
      next = third == end ? end : third + 1;
    }
    const std::string_view field0(cursor, static_cast<std::size_t>(first - cursor));
    const std::string_view field1(first + 1, static_cast<std::size_t>(second - first - 1));
    const std::string_view field2(second + 1, static_cast<std::size_t>(field2_end - second - 1));
    if (order == TripleOrder::HRT) {
      visit(field0, field1, field2);
    } else {
      visit(field0, field2, field1);
    }
    cursor = next;
  }
}

}  // namespace vantrel
