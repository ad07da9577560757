#include "read/ntriples.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vantrel {
namespace {

// The statements of `text` as "subject|predicate|object" lines, or the
// problem as "line N: message".
std::string parsed(std::string_view text, bool quads = false, bool drop_literals = false) {
  std::string labels;
  std::vector<StatementLabels> statements;
  std::uint64_t lines = 0;
  const auto problem = RdfLineParser(quads, drop_literals).parse(text, labels, statements, lines);
  if (problem) return "line " + std::to_string(problem->line) + ": " + problem->message;
  std::string out;
  for (const StatementLabels& s : statements) {
    out += labels.substr(s.begin, s.subject_size) + "|" + labels.substr(s.begin + s.subject_size, s.predicate_size) +
           "|" + labels.substr(s.begin + s.subject_size + s.predicate_size, s.object_size) + "\n";
  }
  return out + std::to_string(lines) + " lines";
}

struct LabelCase {
  const char* name;
  std::string object;  // as written after "<http://s/> <http://p/> "
  std::string label;   // its canonical label
};

class CanonicalLabels : public ::testing::TestWithParam<LabelCase> {};

TEST_P(CanonicalLabels, OfTheObject) {
  EXPECT_EQ(parsed("<http://s/> <http://p/> " + GetParam().object + " .\n"),
            "http://s/|http://p/|" + GetParam().label + "\n1 lines");
}

INSTANTIATE_TEST_SUITE_P(
    Terms, CanonicalLabels,
    ::testing::Values(
        LabelCase{"Iri", "<http://www.wikidata.org/entity/Q42>", "http://www.wikidata.org/entity/Q42"},
        LabelCase{"IriEscapes", "<http://x/\\u0053\\U0001F600>", "http://x/S\xF0\x9F\x98\x80"},
        LabelCase{"IriNonAscii", "<http://x/\xC2\xA0\xC4\x81>", "http://x/\xC2\xA0\xC4\x81"},
        LabelCase{"BlankNode", "_:b0.x", "_:b0.x"}, LabelCase{"Plain", "\"Douglas Adams\"", "\"Douglas Adams\""},
        LabelCase{"EscapedLetter", "\"a\\u0041\"", "\"aA\""}, LabelCase{"Quotes", "\"q\\\"q\\'\"", "\"q\\\"q'\""},
        LabelCase{"Backslash", "\"x\\\\y\"", "\"x\\\\y\""},
        LabelCase{"NamedEscapes", "\"\\t\\n\\r\\b\\f\"", "\"\\t\\n\\r\\u0008\\u000C\""},
        LabelCase{"RawControls", "\"a\tb\x01\x7F\xC2\x85\xC2\xA0\"", "\"a\\tb\\u0001\\u007F\\u0085\xC2\xA0\""},
        LabelCase{"EscapedControls", "\"\\u0009\\u001f\\u0085\\u00e9\"", "\"\\t\\u001F\\u0085\xC3\xA9\""},
        LabelCase{"LanguageLowered", "\"x\"@EN-Us", "\"x\"@en-us"},
        LabelCase{"Datatype", "\"1952\"^^<http://www.w3.org/2001/XMLSchema#gYear>",
                  "\"1952\"^^<http://www.w3.org/2001/XMLSchema#gYear>"},
        LabelCase{"XsdStringDropped", "\"s\"^^<http://www.w3.org/2001/XMLSchema#string>", "\"s\""},
        LabelCase{"DatatypeEscaped", "\"1\"^^<http://x/\\u0074>", "\"1\"^^<http://x/t>"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RdfLines, LayoutCommentsQuadsAndDroppedLiterals) {
  EXPECT_EQ(parsed("# c\n\n  <a:s>\t<a:p><a:o>.# end\r\n_:x <a:p> \"l\" .\r<a:s> <a:p> <a:o> ."),
            "a:s|a:p|a:o\n_:x|a:p|\"l\"\na:s|a:p|a:o\n5 lines");
  EXPECT_EQ(parsed("<a:s> <a:p> \"l\" .\n<a:s> <a:p> _:o .\n", false, true), "a:s|a:p|_:o\n2 lines");
  EXPECT_EQ(parsed("<a:s> <a:p> <a:o> <a:g> .\n<a:s> <a:p> <a:o> _:g .\n<a:s> <a:p> <a:o> .\n", true),
            "a:s|a:p|a:o\na:s|a:p|a:o\na:s|a:p|a:o\n3 lines");
}

struct ProblemCase {
  const char* name;
  std::string text;
  bool quads;
  std::string problem;
};

class RdfProblems : public ::testing::TestWithParam<ProblemCase> {};

TEST_P(RdfProblems, NameTheLineAndWhatWasExpected) {
  EXPECT_EQ(parsed(GetParam().text, GetParam().quads), GetParam().problem);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RdfProblems,
    ::testing::Values(
        ProblemCase{"LiteralSubject", "\n\"s\" <a:p> <a:o> .", false,
                    "line 2: expected '<' or '_:' to start the subject, found '\"'"},
        ProblemCase{"NoDot", "<a:s> <a:p> <a:o>\n", false,
                    "line 1: expected '.' after the object, found the end of the line"},
        ProblemCase{"GraphInTriples", "<a:s> <a:p> <a:o> <a:g> .", false,
                    "line 1: expected '.' after the object, found '<'"},
        ProblemCase{"LiteralGraph", "<a:s> <a:p> <a:o> \"g\" .", true,
                    "line 1: expected a graph IRI, a blank node or '.' after the object, found '\"'"},
        ProblemCase{"TwoStatements", "<a:s> <a:p> <a:o> . <a:s> <a:p> <a:o> .", false,
                    "line 1: expected the end of the line after '.', found '<'"},
        ProblemCase{"RelativeIri", "<s> <a:p> <a:o> .", false,
                    "line 1: expected an absolute IRI (a scheme, then ':'), found <s>"},
        ProblemCase{"SpaceInIri", "<a:s x> <a:p> <a:o> .", false, "line 1: expected '>' to end the IRI, found ' '"},
        ProblemCase{"RawDeleteInIri", "<a:s\x7F> <a:p> <a:o> .", false,
                    "line 1: expected '>' to end the IRI, found U+007F"},
        ProblemCase{"RawC1InIri", "<a:\xC2\x85> <a:p> <a:o> .", false,
                    "line 1: expected '>' to end the IRI, found U+0085"},
        ProblemCase{"EscapedC1InIri", "<a:s\\u0085> <a:p> <a:o> .", false,
                    "line 1: an escape in an IRI stands for a character that an IRI may not hold"},
        ProblemCase{"EscapedSpaceInIri", "<a:s\\u0020> <a:p> <a:o> .", false,
                    "line 1: an escape in an IRI stands for a character that an IRI may not hold"},
        ProblemCase{"BadEscape", "<a:s> <a:p> \"a\\zb\" .", false,
                    "line 1: expected one of t b n r f \" ' \\ u U after '\\', found 'z'"},
        ProblemCase{"Surrogate", "<a:s> <a:p> \"\\uD800\" .", false,
                    "line 1: an escape names no character (a surrogate, or above U+10FFFF)"},
        ProblemCase{"SurrogatePair", "<a:s> <a:p> \"\\uD83D\\uDE00\" .", false,
                    "line 1: \\uD83D\\uDE00 is a surrogate pair, which RDF 1.1 does not allow: the two stand for "
                    "one character above U+FFFF, U+1F600, to be written as one \\U escape, \\U0001F600"},
        ProblemCase{"HighSurrogateBeforeAnother", "<a:s> <a:p> \"\\uD83D\\uD83D\" .", false,
                    "line 1: an escape names no character (a surrogate, or above U+10FFFF)"},
        ProblemCase{"UnendedLiteral", "<a:s> <a:p> \"abc .\n", false,
                    "line 1: expected '\"' to end the literal, found the end of the line"},
        ProblemCase{"BadLanguage", "<a:s> <a:p> \"a\"@1 .", false,
                    "line 1: expected a language tag after '@', found '1'"},
        ProblemCase{"ColonInBlankNode", "_:a:b <a:p> <a:o> .", false,
                    "line 1: expected '<' to start the predicate, found ':'"},
        ProblemCase{"Number", "<a:s> <a:p> 1 .", false,
                    "line 1: expected '<', '_:' or '\"' to start the object, found '1'"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vantrel
