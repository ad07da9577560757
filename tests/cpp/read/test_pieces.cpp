#include "read/pieces.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vantrel {
namespace {

// Every piece of `text` cut by `cut` into pieces of about `bytes`.
std::vector<std::string> pieces_of(std::string_view text, PieceCut cut, std::size_t bytes,
                                   std::vector<std::uint64_t>* offsets = nullptr,
                                   std::vector<std::string>* prefixes = nullptr) {
  MemorySource source(text);
  PieceCutter cutter(source, cut, bytes, "");
  std::vector<std::string> pieces;
  Piece piece;
  do {
    cutter.next(piece, {});
    pieces.emplace_back(piece.view());
    if (offsets) offsets->push_back(piece.offset);
    if (prefixes) prefixes->push_back(piece.context->prefixes.contains("p") ? piece.context->prefixes.at("p") : "");
  } while (!piece.final);
  return pieces;
}

TEST(PieceCutter, LinesStayWholeAndPiecesJoinIntoTheInput) {
  const std::string text = "a\tr\tb\nlonger line\tr\tc\nx\ty\tz";
  std::vector<std::uint64_t> offsets;
  const auto pieces = pieces_of(text, PieceCut::kLineFeeds, 8, &offsets);
  std::string joined;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    EXPECT_EQ(offsets[i], joined.size());
    if (i + 1 < pieces.size()) {
      EXPECT_EQ(pieces[i].back(), '\n') << i;
    }
    joined += pieces[i];
  }
  EXPECT_EQ(joined, text);
  EXPECT_EQ(pieces[1], "longer line\tr\tc\n");  // longer than a piece: the piece grew to hold it
}

TEST(PieceCutter, ALoneCarriageReturnEndsALineOnlyWhereLinesMayEndSo) {
  EXPECT_EQ(end_of_whole_lines("a\rb", true), 2u);
  EXPECT_EQ(end_of_whole_lines("a\rb", false), 0u);
  EXPECT_EQ(end_of_whole_lines("a\nb\r", true), 2u);  // the \r may be half of a CR LF not read yet
  EXPECT_EQ(end_of_whole_lines("ab", true), 0u);
}

TEST(PieceCutter, StatementPiecesCarryTheDirectivesInForce) {
  const std::string text = "@prefix p: <http://a/> .\np:s p:o \"a . b\" .\n@prefix p: <http://b/> .\np:s p:o p:t .\n";
  std::vector<std::string> prefixes;
  const auto pieces = pieces_of(text, PieceCut::kTurtleStatements, 16, nullptr, &prefixes);
  ASSERT_GE(pieces.size(), 3u);
  EXPECT_EQ(pieces[0], "@prefix p: <http://a/> .");
  EXPECT_EQ(prefixes[0], "");
  EXPECT_EQ(prefixes[1], "http://a/");  // the string's '.' did not cut the statement
  EXPECT_EQ(prefixes.back(), "http://b/");
}

TEST(PieceCutter, AHubsStatementIsCutAfterItsSemicolonsAndCommas) {
  std::string text = "@prefix ex: <http://ex/> .\nex:hub a ex:T";
  for (int k = 0; k < 50; ++k) text += " ;\n  ex:p ex:o" + std::to_string(k) + " , \"x\"";
  text += " .\n[ ex:q ex:a ] ex:r ex:b";
  for (int k = 0; k < 10; ++k) text += " ;\n  ex:p ex:o" + std::to_string(k);
  text += " .\n";
  MemorySource source(text);
  PieceCutter cutter(source, PieceCut::kTurtleStatements, 32, "");
  Piece piece;
  std::string joined;
  bool resumed_after_semicolon = false;
  bool resumed_after_comma = false;
  do {
    cutter.next(piece, {});
    const TurtleResume& resume = piece.context->resume;
    if ((joined + std::string(piece.view())).find('[') == std::string::npos) {
      // The hub's statement: pieces stay about the size asked for.
      EXPECT_LE(piece.size, 64u) << joined.size();
      if (resume.inside()) {
        EXPECT_EQ(resume.subject, "ex:hub");
      }
      resumed_after_semicolon |= resume.inside() && resume.predicate.empty();
      resumed_after_comma |= resume.predicate == "ex:p";
    } else {
      EXPECT_FALSE(resume.inside());  // a '[' subject is read again nowhere: never cut inside
    }
    const char last = piece.view().back();
    EXPECT_EQ(piece.ends_inside, !piece.final && (last == ';' || last == ','));
    joined += piece.view();
  } while (!piece.final);
  EXPECT_EQ(joined, text);
  EXPECT_TRUE(resumed_after_semicolon);
  EXPECT_TRUE(resumed_after_comma);
}

}  // namespace
}  // namespace vantrel
