#include "read/piece_parsing.hpp"

#include "core/utf8.hpp"

namespace vantrel {

namespace {

void add_hashes(HashedTriple& triple) {
  triple.head_hash = hash_label(triple.head);
  triple.relation_hash = hash_label(triple.relation);
  triple.tail_hash = hash_label(triple.tail);
}

// Appends the triple of a line's fields to the piece's, its labels hashed.
void add_triple(ParsedPiece& piece, const TripleCursor::Fields& fields) {
  HashedTriple& triple = piece.triples.emplace_back();
  triple.head = fields.head;
  triple.relation = fields.relation;
  triple.tail = fields.tail;
  add_hashes(triple);
}

}  // namespace

void ParsedPiece::release_parsed() {
  text.reset();
  capacity = 0;
  std::vector<HashedTriple>().swap(triples);
  if (RdfParsed* rdf = std::get_if<RdfParsed>(&parsed)) *rdf = RdfParsed{};
}

namespace {

// The lines of a piece read with a time column: stops at the first line
// without a time.
void parse_timed_tsv(ParsedPiece& piece, TsvParsed& tsv, std::uint64_t time_column) {
  TimedTripleCursor cursor(piece.view(), time_column);
  TripleCursor::Fields fields;
  std::string_view time_text;
  try {
    while (cursor.next(fields, time_text)) {
      const std::optional<TimeValue> time = parse_time(time_text);
      if (!time) {
        // Quoted as written, cut short where it is long.
        const std::string shown(time_text.substr(0, 60));
        tsv.bad_time.emplace(piece.triples.size() + 1,
                             "'" + shown + (time_text.size() > 60 ? "...'" : "'") +
                                 " is not a time: an integer, a decimal number, or an ISO 8601 date (YYYY-MM-DD) "
                                 "or date-time (YYYY-MM-DDTHH:MM:SS, with Z or an offset)");
        break;
      }
      tsv.times.push_back(*time);
      add_triple(piece, fields);
    }
  } catch (const TimeColumnError& error) {
    tsv.bad_time.emplace(error);
  }
  piece.lines = piece.triples.size();
}

}  // namespace

void parse_tsv(ParsedPiece& piece, std::optional<std::uint64_t> time_column) {
  TsvParsed& tsv = std::get<TsvParsed>(piece.parsed);
  piece.triples.clear();
  tsv.short_line.reset();
  tsv.times.clear();
  tsv.bad_time.reset();
  tsv.invalid_utf8 = !is_valid_utf8(piece.view());
  if (tsv.invalid_utf8) return;
  if (time_column) return parse_timed_tsv(piece, tsv, *time_column);
  TripleCursor cursor(piece.view(), TripleOrder::HRT);
  TripleCursor::Fields fields;
  try {
    while (cursor.next(fields)) add_triple(piece, fields);
  } catch (const ShortLineError& error) {
    tsv.short_line.emplace(error);
  }
  piece.lines = piece.triples.size();
}

void parse_rdf(ParsedPiece& piece, const RdfParsers& parsers) {
  RdfParsed& rdf = std::get<RdfParsed>(piece.parsed);
  piece.triples.clear();
  rdf.labels.clear();
  rdf.statements.clear();
  rdf.syntax.reset();
  std::string_view text = piece.view();
  const std::size_t valid = valid_utf8_prefix(text);
  std::size_t line_start = valid;
  if (valid < text.size()) {
    // Parse what comes before the bad bytes: a problem there comes first.
    // Lines are parsed whole; Turtle's statements run over lines, and are
    // parsed up to the bad bytes, a problem found where the text stops
    // being that it stops.
    while (line_start > 0 && text[line_start - 1] != '\n' && text[line_start - 1] != '\r') --line_start;
    text = text.substr(0, parsers.turtle ? valid : line_start);
  }
  // A text cut short at bad bytes ends where they begin, not at the cut.
  const bool ends_inside = piece.ends_inside && valid == piece.size;
  rdf.syntax = parsers.turtle ? parsers.statements.parse(text, piece.offset, *piece.context, ends_inside, rdf.labels,
                                                         rdf.statements, piece.lines)
                              : parsers.lines.parse(text, rdf.labels, rdf.statements, piece.lines);
  if (valid < piece.size && (!rdf.syntax || (parsers.turtle && rdf.syntax->offset >= valid))) {
    std::uint64_t bad_line = 1;
    for (std::size_t i = 0; i < line_start; ++i) {
      const char c = piece.text[i];
      bad_line += c == '\n' || (c == '\r' && piece.text[i + 1] != '\n');
    }
    rdf.syntax = RdfSyntaxProblem{bad_line, "bytes that are not UTF-8"};
  }
  if (rdf.syntax) return;
  piece.triples.resize(rdf.statements.size());
  const char* labels = rdf.labels.data();
  for (std::size_t i = 0; i < rdf.statements.size(); ++i) {
    const StatementLabels& s = rdf.statements[i];
    HashedTriple& triple = piece.triples[i];
    triple.head = {labels + s.begin, s.subject_size};
    triple.relation = {labels + s.begin + s.subject_size, s.predicate_size};
    triple.tail = {labels + s.begin + s.subject_size + s.predicate_size, s.object_size};
    add_hashes(triple);
  }
}

}  // namespace vantrel
