// The triple file: one (head, relation, tail) per line, fields separated by
// tabs. Cutting its content into lines and fields, and into the records that
// the graph is built from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/errors.hpp"
#include "graph/triple.hpp"

namespace vantrel {

// Column order of a triple line.
enum class TripleOrder { HRT = 0, HTR = 1 };

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

// Cuts content into lines of tab-separated fields, each trimmed of the
// spaces around it, of which the first three are a triple and the one of
// index `time_column` (3 or more) its time; one line per call of next().
class TimedTripleCursor {
 public:
  TimedTripleCursor(std::string_view content, std::uint64_t time_column)
      : cursor_(content.data()), end_(content.data() + content.size()), time_column_(time_column) {}

  // Cuts the next line into `fields` and `time`; false at the end of the
  // content. Throws TimeColumnError for a line without the time column.
  bool next(TripleCursor::Fields& fields, std::string_view& time);

 private:
  // Throws TimeColumnError for the line now read, which ended at
  // `line_end` after its column `last_column`, and moves past it.
  [[noreturn]] void throw_short_line(std::uint64_t last_column, const char* line_end);

  const char* cursor_;
  const char* end_;
  std::uint64_t time_column_;
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
