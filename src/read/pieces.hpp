// Cutting a stream of bytes into pieces of whole lines, or of whole Turtle
// statements, each carrying what a parser needs to start there (the
// directives in force, its offset in the stream), so that pieces can be
// parsed on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/interrupt.hpp"
#include "read/byte_source.hpp"
#include "read/formats.hpp"
#include "read/turtle_context.hpp"

namespace vantrel {

// A piece of the input: whole lines or statements, but for the last piece,
// whose last line may have no line feed.
struct Piece {
  std::unique_ptr<char[]> text;
  std::size_t size = 0;
  std::size_t capacity = 0;
  bool final = false;  // the input ends with this piece
  // Turtle and TriG: the directives in force where the piece begins.
  std::shared_ptr<const TurtleContext> context;
  bool ends_inside = false;  // cut inside a statement or graph, the next piece going on
  std::uint64_t offset = 0;  // where the piece begins in the input

  std::string_view view() const { return {text.get(), size}; }
};

// Where the last whole line of `text` ends: after its last line feed, or
// (where a lone carriage return ends a line too, as in N-Triples) after a
// carriage return known not to be the first half of CR LF. 0 if no line
// ends in `text`.
std::size_t end_of_whole_lines(std::string_view text, bool lone_cr_ends_lines);

// Reads a source into pieces of about `piece_bytes` (more where one line or
// statement is longer), in order. Used by one thread at a time.
class PieceCutter {
 public:
  // `base`: what relative IRIs resolve against until a document sets its own.
  PieceCutter(ByteSource& source, PieceCut cut, std::size_t piece_bytes, std::string base);

  // Fills `piece` (reusing its buffer) with the next piece; a piece with
  // `final` set is the last. Fails as the source does.
  void next(Piece& piece, const InterruptPoll& poll);

 private:
  void fill(Piece& piece, const InterruptPoll& poll);
  std::size_t cut_in(std::string_view text);

  ByteSource& source_;
  PieceCut cut_;
  std::size_t piece_bytes_;
  std::string carry_;  // the start of a line that the next piece finishes
  std::shared_ptr<const TurtleContext> context_;
  std::shared_ptr<const TurtleContext> next_context_;
  std::uint64_t offset_ = 0;
};

}  // namespace vantrel
