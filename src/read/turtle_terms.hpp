// The terms of Turtle and TriG, read into the canonical labels of the
// N-Triples reader: IRIs written whole or as prefixed names (resolved
// against the directives in force), blank node labels, the blank nodes a
// document makes, string literals and number shorthand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "read/rdf_terms.hpp"
#include "read/turtle_context.hpp"

namespace vantrel {

namespace turtle {

inline constexpr std::string_view kRdf = "http://www.w3.org/1999/02/22-rdf-syntax-ns#";
inline constexpr std::string_view kXsd = "http://www.w3.org/2001/XMLSchema#";

// Whether `b` may be part of a prefixed name (ASCII letters, digits, '_',
// '-', and every byte of a multi-byte character); inline, as the scan for
// cuts asks it of every byte of a name.
inline bool is_name_byte(unsigned char b) {
  return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '_' || b == '-' ||
         b >= 0x80;
}

// Whether the letters at `at` are `keyword` in any case, not followed by
// what would make them the start of a prefixed name.
bool at_keyword(const char* at, const char* end, std::string_view keyword);

// Whether `b` may be part of a prefixed name as written: a name byte, ':'
// (between prefix and local name) or '%' (a local name's escape).
inline bool is_word_byte(unsigned char b) { return is_name_byte(b) || b == ':' || b == '%'; }

// Where the comment that starts at `at` (its '#') ends: at a line feed or
// a lone carriage return, or at `end`.
inline const char* comment_end(const char* at, const char* end) {
  while (at < end && *at != '\n' && *at != '\r') ++at;
  return at;
}

// The first byte from `at` that is neither a blank (space, tab, line end)
// nor in a comment; `end` where there is none.
inline const char* after_blanks(const char* at, const char* end) {
  while (at < end) {
    const char c = *at;
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      ++at;
    } else if (c == '#') {
      at = comment_end(at, end);
    } else {
      break;
    }
  }
  return at;
}

// A cursor over one text that reads Turtle's terms; the statement grammar
// is built on it. Failures are rdf::Problem, at `next`.
class TermReader : public rdf::TermCursor {
 public:
  // `offset`: where `text` begins in the document (made blank nodes are
  // named by their byte offset in it); `context`: the directives in force,
  // which directives read later change.
  TermReader(std::string_view text, std::uint64_t offset, TurtleContext& context);

  // The line (from 1) of `next` within the text.
  std::uint64_t line_of_next() const;

 protected:
  // Spaces, tabs, line ends and comments.
  void skip_blank();
  void expect_char(char c, const char* what);
  bool at(char c) const { return next < text_end && *next == c; }
  bool at_digit() const { return next < text_end && rdf::is_digit(*next); }

  // A blank node the document makes, named by where `at_byte` lies in it:
  // "_:[N]" for a '[', "_:(N)" for a collection's item.
  void made_blank(std::string& term, char open, const char* at_byte, char close) const;
  void blank_label(std::string& term);
  // An IRI written in full or as a prefixed name, into `term`.
  void iri(std::string& term, const char* what);
  void iri_reference(std::string& term);
  // A prefix's name (PN_PREFIX): letters first, no '.' last.
  void prefix_name();
  void prefixed_name(std::string& term);
  // A prefixed name's local part (PN_LOCAL), appended with its escapes
  // undone; it may not end in '.'.
  void local_name(std::string& term);
  void string_literal(std::string& term);
  // INTEGER, DECIMAL or DOUBLE, as a typed literal of its lexical form.
  void number(std::string& term);

  TurtleContext& context_;

 private:
  std::string scratch_;   // what the cursor reads a term into
  std::string datatype_;  // a literal's datatype, while its lexical form waits in scratch_
  const char* const text_begin_;
  const std::uint64_t offset_;
};

}  // namespace turtle
}  // namespace vantrel
