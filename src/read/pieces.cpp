#include "read/pieces.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "read/turtle_cuts.hpp"

namespace vantrel {

std::size_t end_of_whole_lines(std::string_view text, bool lone_cr_ends_lines) {
  if (!lone_cr_ends_lines) {
    const void* line_feed = ::memrchr(text.data(), '\n', text.size());
    return line_feed ? static_cast<std::size_t>(static_cast<const char*>(line_feed) - text.data()) + 1 : 0;
  }
  // A carriage return in the last byte may be followed by a line feed that
  // has not been read yet: the line ends after that, in a later piece.
  for (std::size_t end = text.size(); end > 0; --end) {
    const char c = text[end - 1];
    if (c == '\n' || (c == '\r' && end < text.size())) return end;
  }
  return 0;
}

PieceCutter::PieceCutter(ByteSource& source, PieceCut cut, std::size_t piece_bytes, std::string base)
    : source_(source),
      cut_(cut),
      piece_bytes_(piece_bytes),
      context_(std::make_shared<TurtleContext>(TurtleContext{std::move(base), {}, {}})) {}

void PieceCutter::next(Piece& piece, const InterruptPoll& poll) {
  fill(piece, poll);
  piece.context = context_;
  piece.ends_inside = next_context_ && next_context_->resume.inside();
  piece.offset = offset_;
  offset_ += piece.size;
  if (next_context_) context_ = std::move(next_context_);
}

void PieceCutter::fill(Piece& piece, const InterruptPoll& poll) {
  const std::size_t wanted = std::max(piece_bytes_, carry_.size() * 2);
  if (piece.capacity < wanted) {
    piece.text.reset();
    piece.text = std::make_unique_for_overwrite<char[]>(wanted);
    piece.capacity = wanted;
  }
  std::memcpy(piece.text.get(), carry_.data(), carry_.size());
  piece.size = carry_.size();
  carry_.clear();
  piece.final = false;
  for (;;) {
    if (piece.size == piece.capacity) {
      const std::size_t cut = cut_in(piece.view());
      if (cut > 0) {
        carry_.assign(piece.text.get() + cut, piece.size - cut);
        piece.size = cut;
        return;
      }
      // One line (statement) longer than a piece: the piece grows to hold it.
      auto larger = std::make_unique_for_overwrite<char[]>(piece.capacity * 2);
      std::memcpy(larger.get(), piece.text.get(), piece.size);
      piece.text = std::move(larger);
      piece.capacity *= 2;
    }
    const std::size_t got = source_.read(piece.text.get() + piece.size, piece.capacity - piece.size, poll);
    if (got == 0) {
      piece.final = true;
      return;
    }
    piece.size += got;
  }
}

// Where a full piece is cut: after its last whole line, or its last whole
// statement (noting the directives in force there for the next piece).
std::size_t PieceCutter::cut_in(std::string_view text) {
  if (cut_ == PieceCut::kLineFeeds || cut_ == PieceCut::kLineEnds) {
    return end_of_whole_lines(text, cut_ == PieceCut::kLineEnds);
  }
  auto context = std::make_shared<TurtleContext>(*context_);
  const std::size_t cut = last_statement_end(text, cut_ == PieceCut::kTriGStatements, *context);
  if (cut > 0) next_context_ = std::move(context);
  return cut;
}

}  // namespace vantrel
