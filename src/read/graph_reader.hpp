// Reading a graph from a stream of bytes in pieces of bounded size: chunks
// of whole lines (whole statements, for Turtle and TriG) are read in order, parsed on every thread (cut into
// fields or RDF terms, labels hashed), and handed to the builder in input
// order, so that ids are those a single pass gives. The input is never held
// whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/interrupt.hpp"
#include "graph/builder.hpp"
#include "graph/graph.hpp"
#include "graph/temporal_step.hpp"
#include "read/byte_source.hpp"
#include "read/formats.hpp"

namespace vantrel {

struct GraphReadOptions {
  GraphFormat format = GraphFormat::kTsv;
  // Tab-separated: the column (from 0; 3 or more) of each line's time, whose
  // fields are then trimmed of the spaces around them; none: no times.
  std::optional<std::uint64_t> time_column;
  // RDF: leave out statements whose object is a literal.
  bool drop_literals = false;
  // RDF: the IRI that relative IRIs are resolved against (empty: none, and
  // a relative IRI is an error) until the document sets its own.
  std::string base;
  // RDF: appended to every blank node's label, so that the blank nodes of
  // sources read as one graph stay apart ("@1"; characters that no label as
  // written can hold).
  std::string blank_suffix;
  IdWidth width = IdWidth::kNarrowest;
  // Threads to parse and lay out on; 0: every CPU this process may use.
  unsigned threads = 0;
  // The size of the pieces read (0: the format's, read/formats); a line or
  // statement longer than this makes its piece longer.
  std::size_t chunk_bytes = 0;
  // The most triples collected with 32-bit ids before the builder widens
  // to 64-bit ones (fewer only to test widening).
  std::uint64_t most_narrow_triples = kMostNarrowTriples;
  // How the builder groups edges while it collects them (smaller only to
  // test the merging of its buckets).
  BucketLimits buckets;
};

// One graph read from sources in turn, as if they were one: ids go on
// from one source to the next.
class GraphReading {
 public:
  // `options`: the id width and the threads; each source's own options
  // say how it is read.
  explicit GraphReading(const GraphReadOptions& options);
  ~GraphReading();
  GraphReading(const GraphReading&) = delete;
  GraphReading& operator=(const GraphReading&) = delete;

  // Reads the triples of `source` after those of the sources before it,
  // failing as read_graph() does.
  void add(ByteSource& source, const GraphReadOptions& options, const InterruptPoll& poll = {});

  // The graph of every source added.
  AnyGraph finish(const InterruptPoll& poll = {}) &&;
  // The times of its triples, in input order, where the sources were read
  // with a time column: int64 where each time is whole (an integer or a
  // date), float64 where any is a decimal number. Call after finish().
  TripleTimes take_times();

 private:
  struct Collected;
  IdWidth width_;
  unsigned threads_;
  std::unique_ptr<Collected> collected_;
};

// The graph of the triples in `source`, one edge per triple in input order,
// nodes and relations numbered by first occurrence (head before tail).
//
// Tab-separated triples fail as reading a whole file and then its lines
// would: the source's own failure (IoError) first, wherever it comes; then
// content that is not UTF-8 anywhere (IoError, InvalidData); then the first
// line with fewer than three fields (ShortLineError), or, with a time column,
// without a time (TimeColumnError). So the whole source is
// read even after a short line. The RDF formats fail at the first line
// that is not (RdfSyntaxError; bytes that are not UTF-8 included), or
// at the source's IoError if it comes before that line.
AnyGraph read_graph(ByteSource& source, const GraphReadOptions& options = {}, const InterruptPoll& poll = {});

}  // namespace vantrel
