// The triple file: one (head, relation, tail) per line, fields separated by
// tabs. Reading the file whole as strict UTF-8, cutting it into lines and
// fields, and the records that the reader yields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "interrupt.hpp"

namespace vantrel {

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

// A file opened for reading, closed when the object goes away.
class ReadOnlyFile {
 public:
  // Whether opening a FIFO waits for a writer.
  enum Wait { kWaitForWriter, kNoWait };
  // Opens `path` as the reader does: InvalidInput (opening nothing) if the
  // path holds a NUL byte, the operating system's error otherwise. A
  // blocking open (a FIFO without a writer) that a signal interrupts calls
  // `poll`, then goes on; with kNoWait the open does not block, and the
  // descriptor is left non-blocking. Throws IoError.
  ReadOnlyFile(const std::string& path, const InterruptPoll& poll, Wait wait = kWaitForWriter);
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
  ~ReadOnlyFile();
  int fd() const { return fd_; }

 private:
  int fd_;
};

// Reads the file at `path` whole and checks that it is strict UTF-8.
// Throws IoError: InvalidInput if the path holds a NUL byte (nothing is
// opened then), an operating-system error, or InvalidData for bad UTF-8.
// A blocking open or read that a signal interrupts calls `poll`, then goes on.
FileContent read_text_file(const std::string& path, const InterruptPoll& poll = {});

// True if `bytes` is valid UTF-8: no overlong forms, no surrogates, nothing
// above U+10FFFF, no truncated sequence.
bool is_valid_utf8(std::string_view bytes);

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

// Cuts content into lines and fields, one line per call of next().
class TripleCursor {
 public:
  TripleCursor(std::string_view content, TripleOrder order)
      : cursor_(content.data()), end_(content.data() + content.size()), order_(order) {}

  // Views of the next line's three fields, in (head, relation, tail) order.
  struct Fields {
    std::string_view head;
    std::string_view relation;
    std::string_view tail;
  };

  // Cuts the next line into `fields`; false at the end of the content.
  // Throws ShortLineError for a line with fewer than three fields.
  bool next(Fields& fields);

 private:
  const char* cursor_;
  const char* end_;
  TripleOrder order_;
  std::uint64_t line_number_ = 0;
};

// Cuts `content` into lines and fields and calls visit(head, relation, tail)
// for each line in order, with views into `content`. Throws ShortLineError
// at the first line with fewer than three fields; lines after it are not looked at.
template <class Visit>
void for_each_triple(std::string_view content, TripleOrder order, Visit&& visit) {
  TripleCursor cursor(content, order);
  TripleCursor::Fields fields;
  while (cursor.next(fields)) visit(fields.head, fields.relation, fields.tail);
}

// One Triple per line of `content`, in line order.
std::vector<Triple> read_triples(std::string_view content, TripleOrder order);

}  // namespace vantrel
