// The one table of what the readers know of each format: its name and
// suffixes, how its text is cut into pieces and parsed, how large a piece is
// and how many bytes a triple takes; and each compression's suffix and
// magic number. read()'s choice of format and decompressor, the graph
// reader and the constructor's hints all look here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vantrel {

// kRdfXml and kJsonLd are named for read()'s table of formats: the reader
// has no parser of its own for them, and takes what it is handed of them
// (N-Triples, which the binding writes from pyoxigraph's triples) as N-Triples.
enum class GraphFormat { kTsv, kNTriples, kNQuads, kTurtle, kTriG, kRdfXml, kJsonLd };

// Where a piece of a format's text may end.
enum class PieceCut {
  kLineFeeds,         // after a line feed (tab-separated lines)
  kLineEnds,          // after a line feed or a lone carriage return (N-Triples, N-Quads)
  kTurtleStatements,  // after a whole statement or directive (or inside a long one: read/turtle_cuts)
  kTriGStatements,    // the same, or after a graph block's '}'
};

// Which grammar parses a format's pieces.
enum class Grammar {
  kTabSeparated,  // read/tsv: three fields a line
  kRdfLines,      // read/ntriples: a statement a line
  kStatements,    // read/turtle: statements over lines, under directives
};

enum class Compression { kNone, kGzip, kBzip2, kXz, kZstd };

struct CompressionInfo {
  Compression compression;
  std::string_view suffix;  // ".gz"
  std::string_view name;    // "gzip": the name a hint gives the data
  std::string_view magic;   // the bytes its files start with
};

struct FormatInfo {
  GraphFormat format;
  std::string_view name;                       // "nt": what format= takes
  std::span<const std::string_view> suffixes;  // ".nt"
  PieceCut cut;
  Grammar grammar;
  // The size of the pieces it is read in: Turtle's prefixed names and its
  // ';' and ',' make its text several times shorter than the labels it
  // expands to (a quarter of N-Triples' bytes for the same triples, in
  // dumps sorted by subject), and a piece in flight holds both, so its
  // pieces are smaller, to hold about as many triples as N-Triples' do.
  std::size_t piece_bytes;
  // The fewest bytes a triple of its text is expected to take, to size
  // the graph's first buffers from the source's size.
  std::uint64_t bytes_per_triple;
};

// Every compression the readers take, and every graph format.
std::span<const CompressionInfo> compressions();
std::span<const FormatInfo> graph_formats();

// The table's row of `format`.
const FormatInfo& format_info(GraphFormat format);

// The compression that `name`'s last suffix names (letters in either case);
// a suffix that names one is taken off `name`. kNone where none does.
Compression strip_compression_suffix(std::string_view& name);

// The format that a name's suffix (under any compression suffix) names.
std::optional<GraphFormat> format_from_suffix(std::string_view name);

// For messages: every format's name as format= takes it ("'tsv', 'nt', ...
// or 'jsonld'"), and every format's suffixes (".tsv, .txt, ..., .jsonld").
std::string format_names_text();
std::string format_suffixes_text();

// The compression whose magic number `head` starts with, or nullptr.
const CompressionInfo* compression_from_magic(std::string_view head);

}  // namespace vantrel
