#include "read/tsv.hpp"

#include "read/scan.hpp"

#include <cstring>

namespace vantrel {

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
    const char* newline =
        static_cast<const char*>(std::memchr(third + 1, '\n', static_cast<std::size_t>(end_ - third - 1)));
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

namespace {

// `field` without the spaces around it.
inline std::string_view trimmed(const char* first, const char* last) {
  while (first < last && *first == ' ') ++first;
  while (last > first && last[-1] == ' ') --last;
  return {first, static_cast<std::size_t>(last - first)};
}

}  // namespace

bool TimedTripleCursor::next(TripleCursor::Fields& fields, std::string_view& time) {
  if (cursor_ >= end_) return false;
  ++line_number_;
  // One pass over the line, separator by separator, up to the end of the
  // time column; only the fields kept are trimmed.
  auto ends_line = [this](const char* at) { return at == end_ || *at == '\n'; };
  const char* ends[3];
  const char* field_start = cursor_;
  std::uint64_t column = 0;
  for (; column < 3; ++column) {
    ends[column] = scan::find_separator(field_start, end_);
    if (ends_line(ends[column])) throw_short_line(column, ends[column]);
    field_start = ends[column] + 1;
  }
  const char* time_start = field_start;
  const char* at = scan::find_separator(time_start, end_);
  for (; column < time_column_; ++column) {
    if (ends_line(at)) throw_short_line(column, at);
    time_start = at + 1;
    at = scan::find_separator(time_start, end_);
  }
  const bool line_ends = ends_line(at);
  // A field that ends the line loses the carriage return that ends the line.
  time = trimmed(time_start, line_ends && at > time_start && at[-1] == '\r' ? at - 1 : at);
  fields = {trimmed(cursor_, ends[0]), trimmed(ends[0] + 1, ends[1]), trimmed(ends[1] + 1, ends[2])};
  const char* newline =
      line_ends ? at : static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end_ - at)));
  cursor_ = newline == nullptr || newline == end_ ? end_ : newline + 1;
  return true;
}

void TimedTripleCursor::throw_short_line(std::uint64_t last_column, const char* line_end) {
  cursor_ = line_end == end_ ? end_ : line_end + 1;
  const std::uint64_t count = last_column + 1;
  throw TimeColumnError(line_number_, "the line has " + std::to_string(count) + " field" + (count == 1 ? "" : "s") +
                                          ", and its time is in column " + std::to_string(time_column_) + " (from 0)");
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
