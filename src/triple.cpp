#include "triple.hpp"

#include "scan.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel {


bool is_valid_utf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* const end = p + bytes.size();
  while (p < end) {
    // Skip runs of ASCII sixteen bytes at a time; labels are mostly ASCII.
    while (end - p >= 16) {
      std::uint64_t a;
      std::uint64_t b;
      std::memcpy(&a, p, 8);
      std::memcpy(&b, p + 8, 8);
      if (((a | b) & 0x8080808080808080ull) != 0) break;
      p += 16;
    }
    if (p >= end) break;
    const unsigned char lead = *p;
    if (lead < 0x80) {
      ++p;
      continue;
    }
    std::size_t length;
    unsigned char second_min = 0x80;
    unsigned char second_max = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) second_min = 0xA0;  // overlong
      if (lead == 0xED) second_max = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) second_min = 0x90;  // overlong
      if (lead == 0xF4) second_max = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < length) return false;
    if (p[1] < second_min || p[1] > second_max) return false;
    for (std::size_t i = 2; i < length; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
    }
    p += length;
  }
  return true;
}

ReadOnlyFile::ReadOnlyFile(const std::string& path, const InterruptPoll& poll, Wait wait) {
  if (path.find('\0') != std::string::npos) {
    throw IoError::custom("InvalidInput", "file name contained an unexpected NUL byte");
  }
  // Opening a FIFO blocks until a writer comes; a signal ends the wait with
  // EINTR, and the poll decides whether to give up.
  const int flags = O_RDONLY | O_CLOEXEC | (wait == kNoWait ? O_NONBLOCK : 0);
  while ((fd_ = ::open(path.c_str(), flags)) < 0) {
    if (errno != EINTR) throw IoError::from_os(errno);
    if (poll) poll();
  }
}

ReadOnlyFile::~ReadOnlyFile() { ::close(fd_); }

FileContent read_text_file(const std::string& path, const InterruptPoll& poll) {
  const ReadOnlyFile file(path, poll);

  struct stat status;
  std::size_t capacity = 0;
  if (::fstat(file.fd(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
    capacity = static_cast<std::size_t>(status.st_size);
  }
  // One byte beyond the expected size, so that reaching the end of a file
  // that did not grow costs no second buffer.
  capacity += 1;
  if (capacity < 4096) capacity = 4096;
  auto buffer = std::make_unique_for_overwrite<char[]>(capacity);
  std::size_t size = 0;
  for (;;) {
    if (size == capacity) {
      const std::size_t grown = capacity * 2;
      auto larger = std::make_unique_for_overwrite<char[]>(grown);
      std::memcpy(larger.get(), buffer.get(), size);
      buffer = std::move(larger);
      capacity = grown;
    }
    const ssize_t got = ::read(file.fd(), buffer.get() + size, capacity - size);
    if (got < 0) {
      if (errno != EINTR) throw IoError::from_os(errno);
      if (poll) poll();
      continue;
    }
    if (got == 0) break;
    size += static_cast<std::size_t>(got);
  }
  if (!is_valid_utf8(std::string_view(buffer.get(), size))) {
    throw IoError::custom("InvalidData", "stream did not contain valid UTF-8");
  }
  return FileContent(std::move(buffer), size);
}

std::uint64_t count_lines(std::string_view content) {
  const std::uint64_t newlines = scan::count_newlines(content.data(), content.data() + content.size());
  const bool open_last_line = !content.empty() && content.back() != '\n';
  return newlines + (open_last_line ? 1 : 0);
}

bool TripleCursor::next(Fields& fields) {
  if (cursor_ >= end_) return false;
  ++line_number_;
  const char* first = scan::find_separator(cursor_, end_);
  if (first == end_ || *first == '\n') throw ShortLineError(1, order_ == TripleOrder::HRT ? 1 : 2, line_number_);
  const char* second = scan::find_separator(first + 1, end_);
  if (second == end_ || *second == '\n') throw ShortLineError(2, 2, line_number_);
  const char* third = scan::find_separator(second + 1, end_);
  const char* field2_end;
  const char* next;
  if (third != end_ && *third == '\t') {
    field2_end = third;
    const char* newline = static_cast<const char*>(
        std::memchr(third + 1, '\n', static_cast<std::size_t>(end_ - third - 1)));
    next = newline ? newline + 1 : end_;
  } else {
    // A field that ends the line loses the carriage return that ends the line.
    field2_end = third > second + 1 && third[-1] == '\r' ? third - 1 : third;
    next = third == end_ ? end_ : third + 1;
  }
  const std::string_view field0(cursor_, static_cast<std::size_t>(first - cursor_));
  const std::string_view field1(first + 1, static_cast<std::size_t>(second - first - 1));
  const std::string_view field2(second + 1, static_cast<std::size_t>(field2_end - second - 1));
  if (order_ == TripleOrder::HRT) {
    fields = {field0, field1, field2};
  } else {
    fields = {field0, field2, field1};
  }
  cursor_ = next;
  return true;
}

std::vector<Triple> read_triples(std::string_view content, TripleOrder order) {
  std::vector<Triple> triples;
  triples.reserve(count_lines(content));
  for_each_triple(content, order, [&](std::string_view head, std::string_view relation, std::string_view tail) {
    triples.emplace_back(head, relation, tail);
  });
  return triples;
}

}  // namespace vantrel
