#include "read/turtle_terms.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vantrel::turtle {
namespace {

// Reads one term of `text` with `read` (a TermReader member), in `context`:
// the term's label, or the problem's message.
class OneTerm : public TermReader {
 public:
  OneTerm(std::string_view text, TurtleContext& context) : TermReader(text, 100, context) {}

  std::string object() {
    std::string term;
    try {
      if (at('"') || at('\'')) {
        string_literal(term);
      } else if (at('_')) {
        blank_label(term);
      } else if (at('+') || at('-') || at('.') || at_digit()) {
        number(term);
      } else {
        iri(term, "a term");
      }
    } catch (const rdf::Problem& problem) {
      return problem.message;
    }
    return term;
  }

  std::string made(char open, std::size_t at_byte) const {
    std::string term;
    made_blank(term, open, text_begin() + at_byte, open == '[' ? ']' : ')');
    return term;
  }

 private:
  const char* text_begin() const { return next; }
};

std::string term(std::string_view text) {
  TurtleContext context{"http://base/dir/", {}, {}};
  context.prefixes.emplace("ex", "http://ex/");
  context.prefixes.emplace("", "http://empty/");
  return OneTerm(text, context).object();
}

TEST(TurtleTerms, NamesAndIrisBecomeCanonicalLabels) {
  EXPECT_EQ(term("ex:a\\~b%20c"), "http://ex/a~b%20c");  // escapes undone, %XX kept
  EXPECT_EQ(term(":x.y."), "http://empty/x.y");          // a name does not end in '.'
  EXPECT_EQ(term("<../up>"), "http://base/up");
  EXPECT_EQ(term("nope:a"), "the prefix 'nope:' is not declared");
  EXPECT_EQ(term("_:b0"), "_:b0");
}

TEST(TurtleTerms, LiteralsAndNumbersAreTypedAsWritten) {
  EXPECT_EQ(term("'a\\tb'@EN-gb"), "\"a\\tb\"@en-gb");
  EXPECT_EQ(term("\"1\"^^ex:int"), "\"1\"^^<http://ex/int>");
  EXPECT_EQ(term("\"s\"^^<http://www.w3.org/2001/XMLSchema#string>"), "\"s\"");
  EXPECT_EQ(term("-12"), "\"-12\"^^<http://www.w3.org/2001/XMLSchema#integer>");
  EXPECT_EQ(term(".5"), "\".5\"^^<http://www.w3.org/2001/XMLSchema#decimal>");
  EXPECT_EQ(term("1.e3"), "\"1.e3\"^^<http://www.w3.org/2001/XMLSchema#double>");
  EXPECT_EQ(term("1e"), "expected digits in the number's exponent, found the end of the line");
}

TEST(TurtleTerms, MadeBlankNodesAreNamedByTheirOffsetInTheDocument) {
  TurtleContext context;
  const OneTerm reader("[ ]", context);  // the text begins at offset 100 of its document
  EXPECT_EQ(reader.made('[', 0), "_:[100]");
  EXPECT_EQ(reader.made('(', 2), "_:(102)");
}

}  // namespace
}  // namespace vantrel::turtle
