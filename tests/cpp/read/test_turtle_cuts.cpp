#include "read/turtle_cuts.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vantrel {
namespace {

// Each text marks its last cut with '|' (none: no cut), and says what the
// text after the cut resumes.
struct CutCase {
  const char* text;
  bool trig;
  const char* subject;    // resumed inside a statement after ';' or ','
  const char* predicate;  // after ','
  bool in_graph;
};

const CutCase kCases[] = {
    {"<a> <p> <o> .|<b> <p> ", false, "", "", false},
    {"<a> <p> \"a . b\" .| <c>", false, "", "", false},
    {"<a> <p> 1.5 .|<b> <p> 2.", false, "", "", false},  // a decimal's point, and a '.' that may be one
    {"<a> <p> <o> .| # x . y\n", false, "", "", false},  // a comment's '.'
    {"<a> <p> <o> .| <http://x", false, "", "", false},  // an IRI that goes on past the text
    {"ex:a.\\-b ex:p ex:o .| x", false, "", "", false},  // a name's inner '.' before an escape
    {"ex:s ex:p ex:o ;| ex:q", false, "ex:s", "", false},
    {"ex:s ex:p ex:o ,| ex:o2", false, "ex:s", "ex:p", false},
    {"ex:s ex:p ex:o , ex:o2 ;| ex:q", false, "ex:s", "", false},
    {"ex:s ex:p [ ex:q ex:r ; ex:t ex:u ] ;| ex:v", false, "ex:s", "", false},  // not inside its brackets
    {"[ ex:p ex:o ] ex:q ex:r ; ex:t ex:u , ex:w", false, "", "", false},       // a '[' subject: no cut
    {"ex:s ex:p \"v\"@en ;| ex:q", false, "ex:s", "", false},                   // a language tag is no directive
    {"@prefix ex: <http://e/> .| ex:a", false, "", "", false},
    {"PREFIX ex: <http://e/>| ex:a ex:b ex:c", false, "", "", false},
    {"# c\r@prefix ex: <http://e/> .| ex:a", false, "", "", false},  // a comment ended by a lone CR
    {"prefixes:a ex:b ex:c .| ex:d", false, "", "", false},          // a name that begins as a keyword
    {"ex:g { ex:a ex:b ex:c .| ex:d ex:e", true, "", "", true},
    {"{ ex:a ex:b ex:c }| ex:g2 {", true, "", "", false},
    {"ex:g { ex:a ex:b ex:c ;| ex:d", true, "ex:a", "", true},
    {"<a> <p> <o", false, "", "", false},
    {"<a> <p> \"open . \n", false, "", "", false},
};

TEST(TurtleCuts, LastCutAndWhatItResumes) {
  for (const CutCase& c : kCases) {
    std::string text = c.text;
    const std::size_t mark = text.find('|');
    if (mark != std::string::npos) text.erase(mark, 1);
    TurtleContext context;
    const std::size_t cut = last_statement_end(text, c.trig, context);
    // Where no cut is marked: none, or (a short string's line end) the whole text, which the parser refuses.
    if (mark != std::string::npos) {
      EXPECT_EQ(cut, mark) << c.text;
    } else {
      EXPECT_TRUE(cut == 0 || cut == text.size()) << c.text << " cut at " << cut;
    }
    EXPECT_EQ(context.resume.subject, c.subject) << c.text;
    EXPECT_EQ(context.resume.predicate, c.predicate) << c.text;
    EXPECT_EQ(context.resume.in_graph, c.in_graph) << c.text;
  }
}

TEST(TurtleCuts, DirectivesPassedAreInForceAfterTheCut) {
  TurtleContext context;
  const std::string text = "@prefix ex: <http://e/> .\n@base <http://b/> .\nPREFIX s: <http://s/>\nex:a ex:b ex:c .";
  EXPECT_EQ(last_statement_end(text, false, context), text.find("\nex:a"));
  EXPECT_EQ(context.base, "http://b/");
  ASSERT_EQ(context.prefixes.count("ex"), 1u);
  EXPECT_EQ(context.prefixes.at("ex"), "http://e/");
  EXPECT_EQ(context.prefixes.at("s"), "http://s/");
}

}  // namespace
}  // namespace vantrel
