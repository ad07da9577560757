#include "read/ntriples.hpp"

#include <limits>

#include "read/rdf_terms.hpp"

namespace vantrel {

namespace {

using rdf::expected;
using rdf::Problem;
using rdf::TermCursor;

}  // namespace

namespace {

// Reads the statement that the line at in.next holds (blanks before it
// skipped) into `labels`, and adds it to `statements` unless it is left out
// (a literal object, with `drop_literals`). Throws Problem.
void read_statement(TermCursor& in, const std::string* base, bool quads, bool drop_literals, std::string& labels,
                    std::vector<StatementLabels>& statements) {
  const std::size_t begin = labels.size();
  // Subject.
  if (*in.next == '<') {
    ++in.next;
    in.iri(base);
  } else if (*in.next == '_') {
    in.blank_node();
  } else {
    expected("'<' or '_:' to start the subject", in.next, in.text_end);
  }
  const std::size_t subject_end = labels.size();
  in.skip_spaces();
  // Predicate.
  if (in.next < in.text_end && *in.next == '<') {
    ++in.next;
    in.iri(base);
  } else {
    expected("'<' to start the predicate", in.next, in.text_end);
  }
  const std::size_t predicate_end = labels.size();
  in.skip_spaces();
  // Object.
  bool is_literal = false;
  if (in.next < in.text_end && *in.next == '<') {
    ++in.next;
    in.iri(base);
  } else if (in.next < in.text_end && *in.next == '_') {
    in.blank_node();
  } else if (in.next < in.text_end && *in.next == '"') {
    in.literal(base);
    is_literal = true;
  } else {
    expected("'<', '_:' or '\"' to start the object", in.next, in.text_end);
  }
  const std::size_t object_end = labels.size();
  in.skip_spaces();
  // The graph, read and forgotten.
  if (quads && in.next < in.text_end && (*in.next == '<' || *in.next == '_')) {
    if (*in.next == '<') {
      ++in.next;
      in.iri(base);
    } else {
      in.blank_node();
    }
    labels.resize(object_end);
    in.skip_spaces();
  }
  if (in.next >= in.text_end || *in.next != '.') {
    expected(quads ? "a graph IRI, a blank node or '.' after the object" : "'.' after the object", in.next,
             in.text_end);
  }
  ++in.next;
  in.skip_spaces();
  in.skip_comment();
  if (!in.at_line_end()) expected("the end of the line after '.'", in.next, in.text_end);
  constexpr std::size_t kLongest = std::numeric_limits<std::uint32_t>::max();
  if (subject_end - begin > kLongest || predicate_end - subject_end > kLongest ||
      object_end - predicate_end > kLongest) {
    throw Problem{"a term longer than 4 GiB"};
  }
  if (is_literal && drop_literals) {
    labels.resize(begin);
  } else {
    statements.push_back({begin, static_cast<std::uint32_t>(subject_end - begin),
                          static_cast<std::uint32_t>(predicate_end - subject_end),
                          static_cast<std::uint32_t>(object_end - predicate_end)});
  }
}

}  // namespace

std::optional<RdfSyntaxProblem> RdfLineParser::parse(std::string_view text, std::string& labels,
                                                     std::vector<StatementLabels>& statements,
                                                     std::uint64_t& lines) const {
  TermCursor in(text, labels);
  in.blank_suffix = blank_suffix_;
  const std::string* const base = base_.empty() ? nullptr : &base_;
  std::uint64_t line = 1;
  try {
    while (in.next < in.text_end) {
      in.skip_spaces();
      in.skip_comment();
      if (!in.at_line_end()) read_statement(in, base, quads_, drop_literals_, labels, statements);
      // The line's end: a line feed, a carriage return, or both.
      if (in.next < in.text_end) {
        if (*in.next++ == '\r' && in.next < in.text_end && *in.next == '\n') ++in.next;
        ++line;
      }
    }
  } catch (const Problem& problem) {
    return RdfSyntaxProblem{line, problem.message};
  }
  lines = line - 1 + (!text.empty() && text.back() != '\n' && text.back() != '\r' ? 1 : 0);
  return std::nullopt;
}

}  // namespace vantrel
