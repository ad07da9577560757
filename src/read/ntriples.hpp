// N-Triples and N-Quads (RDF 1.1), the line-based RDF syntaxes in which
// public knowledge graphs are dumped: parsing whole lines into statements
// whose terms are written in one canonical spelling, so that two spellings
// of one RDF term give one label.
//
// Canonical labels:
// - an IRI: its text without angle brackets, \u and \U escapes decoded;
// - a blank node: as written ("_:b0");
// - a literal: its lexical form in double quotes, with escapes decoded and
//   then '"', '\' and every control character (U+0000-U+001F,
//   U+007F-U+009F) escaped again (\t, \n, \r, the others as \uXXXX in
//   capitals), every other character written as itself; then "@" and its
//   language tag in lower case, or "^^<" its datatype IRI ">", the datatype
//   xsd:string left out (it is the plain literal's).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "read/rdf_terms.hpp"

namespace vantrel {

// Parses texts of whole lines of one syntax.
class RdfLineParser {
 public:
  // `quads`: N-Quads (an optional graph term after the object, read and
  // ignored). `drop_literals`: statements whose object is a literal are
  // checked, then left out.
  // `base`: what relative IRIs are resolved against (empty: none, and a
  // relative IRI is an error). `blank_suffix`: appended to every blank
  // node's label.
  RdfLineParser(bool quads, bool drop_literals, std::string base = {}, std::string blank_suffix = {})
      : quads_(quads), drop_literals_(drop_literals), base_(std::move(base)), blank_suffix_(std::move(blank_suffix)) {}

  // Parses every line of `text`, which must be valid UTF-8, appending each
  // kept statement's canonical labels to `labels` and its entry to
  // `statements`. Returns the number of lines of `text` (line feeds, and
  // carriage returns not followed by one, plus an unended last line), or
  // the first problem, after which what was appended is incomplete.
  std::optional<RdfSyntaxProblem> parse(std::string_view text, std::string& labels,
                                        std::vector<StatementLabels>& statements, std::uint64_t& lines) const;

 private:
  bool quads_;
  bool drop_literals_;
  std::string base_;
  std::string blank_suffix_;
};

}  // namespace vantrel
