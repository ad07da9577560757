// What parsing makes of a piece of the input, on any thread: its triples,
// views into its text (tab-separated fields) or into the canonical labels
// the RDF parsers write, their labels hashed; and what it found besides
// (bytes that are not UTF-8, a short line, an RDF syntax problem).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "graph/builder.hpp"
#include "read/formats.hpp"
#include "read/ntriples.hpp"
#include "read/pieces.hpp"
#include "read/time_text.hpp"
#include "read/tsv.hpp"
#include "read/turtle.hpp"

namespace vantrel {

// What parsing tab-separated lines found besides their triples.
struct TsvParsed {
  bool invalid_utf8 = false;
  std::optional<ShortLineError> short_line;  // line numbered within the piece
  // Read with a time column: the time of each triple, and the first line
  // without one.
  std::vector<TimeValue> times;
  std::optional<TimeColumnError> bad_time;  // line numbered within the piece
};

// What parsing RDF made of a piece besides its triples: the canonical
// labels the triples view, or the first problem.
struct RdfParsed {
  std::string labels;
  std::vector<StatementLabels> statements;
  std::optional<RdfSyntaxProblem> syntax;  // line numbered within the piece
};

// A piece of the input and what parsing made of it.
struct ParsedPiece : Piece {
  std::vector<HashedTriple> triples;  // views into `text` or the RDF labels
  std::uint64_t lines = 0;
  std::variant<TsvParsed, RdfParsed> parsed;  // the format's own

  explicit ParsedPiece(Grammar grammar) {
    if (grammar != Grammar::kTabSeparated) parsed.emplace<RdfParsed>();
  }

  // Gives back what parsing the piece took, once its triples are interned.
  void release_parsed();
};

// Cuts a piece of tab-separated lines into triples (all of it: a short line
// stops nothing but the piece's triples, and the check for bytes that are
// not UTF-8 covers the whole piece); with a time column (its index), each
// with its time, every field trimmed of the spaces around it.
void parse_tsv(ParsedPiece& piece, std::optional<std::uint64_t> time_column = std::nullopt);

// The RDF parsers, one of which a reading uses.
struct RdfParsers {
  RdfLineParser lines;
  TurtleParser statements;
  bool turtle;
};

// Parses a piece of RDF with `parsers`: up to bytes that are not UTF-8,
// which are a problem where nothing before them is.
void parse_rdf(ParsedPiece& piece, const RdfParsers& parsers);

}  // namespace vantrel
