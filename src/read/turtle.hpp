// Turtle and TriG (RDF 1.1), the syntaxes in which most RDF is published:
// parsing a text of whole statements into the same canonical labels the
// N-Triples reader gives (ntriples.hpp), so that a Turtle file and its
// N-Triples translation give one graph.
//
// - IRIs: prefixed names expanded, relative IRIs resolved against the base
//   in force (@base or BASE, else the one read() was given).
// - Blank nodes: a labelled one as written ("_:b0"); one that the document
//   makes ('[]', '[ ... ]') "_:[N]", and a collection's nodes "_:(N)", where
//   N is the decimal offset in the document's bytes of the '[' or of the
//   collection's item, so that the same bytes always give the same labels,
//   which no written label can equal.
// - Numbers and booleans: typed literals of xsd:integer, xsd:decimal,
//   xsd:double and xsd:boolean, their lexical forms as written.
// - Order: a triple is stated when its object ends, so that `s p o1, o2;
//   q o3 .` states o1, o2, o3 in turn, and the triples inside a '[ ... ]'
//   or a collection come before the triple that holds it; a collection's
//   rdf:first and rdf:rest triples come item by item.
// - TriG: the graph a triple is in is read and forgotten.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "read/rdf_terms.hpp"
#include "read/turtle_terms.hpp"

namespace vantrel {

// Where a directive read by apply_directive() ends: after its IRI, or
// where it stopped being one.
struct DirectiveEnd {
  bool applied;
  std::size_t at;
};

// Applies the directive whose keyword ("@prefix", "PREFIX", "@base" or
// "BASE") ends at `after_keyword` in `text` to `context`, or leaves
// `context` as it is where that is not the start of one.
DirectiveEnd apply_directive(std::string_view text, std::size_t after_keyword, bool prefix, TurtleContext& context);

class TurtleParser {
 public:
  // `trig`: TriG (graph blocks). `drop_literals`: statements whose object
  // is a literal are checked, then left out.
  // `blank_suffix`: appended to every blank node's label.
  TurtleParser(bool trig, bool drop_literals, std::string blank_suffix = {})
      : trig_(trig), drop_literals_(drop_literals), blank_suffix_(std::move(blank_suffix)) {}

  // Parses `text`, which must be valid UTF-8 and begin where `context`
  // says (its resume: where a statement may begin, or inside one), under
  // its directives (which those in `text` then change); `offset` is where
  // `text` begins in the document; `ends_inside`: the text was cut inside a
  // statement or graph (last_statement_end()), the next text going on from
  // there. Appends each kept triple's labels to `labels` and its entry to
  // `statements`. Returns the number of line ends in `text`, or the first
  // problem (its line counted from text's first), after which what was
  // appended is incomplete.
  std::optional<RdfSyntaxProblem> parse(std::string_view text, std::uint64_t offset, TurtleContext context,
                                        bool ends_inside, std::string& labels, std::vector<StatementLabels>& statements,
                                        std::uint64_t& lines) const;

 private:
  bool trig_;
  bool drop_literals_;
  std::string blank_suffix_;
};

}  // namespace vantrel
