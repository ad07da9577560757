#include "read/turtle.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "graph_support.hpp"
#include "read/graph_reader.hpp"
#include "read/iri.hpp"

namespace vantrel {
namespace {

// A document whose strings, IRIs, comments and names hold what a cut must
// not fall on ('.', '#', quotes, line ends, brackets), with directives that
// change between statements.
constexpr std::string_view kTricky = R"(@prefix ex: <http://ex/> . # a comment. with "quotes
@base <http://base/a/> .
ex:s ex:p "a. b" , 'c.d' , """long.
string "with" quotes.""" , ex:x.y , 1.5 , .5 , 1. ex:t ex:p ex:u\.v , ex:a.\-b .
PREFIX ex: <http://other/>
<rel#frag.> ex:p [ ex:q ( 1 2 [ ex:r "x" ] ) ] .
BASE <../b/>
<c> ex:p "tag"@en-GB. ex:e ex:p <d.e> .
)";

std::string streamed(std::string_view text, GraphFormat format, std::size_t chunk_bytes, unsigned threads = 2) {
  const std::string owned(text);  // the source reads it in place
  MemorySource source(owned);
  GraphReadOptions options;
  options.format = format;
  options.chunk_bytes = chunk_bytes;
  options.threads = threads;
  try {
    return dump(read_graph(source, options));
  } catch (const RdfSyntaxError& error) {
    return error.what();
  }
}

TEST(Turtle, AnyPieceSizeGivesTheWholeTextsGraph) {
  const std::string whole = streamed(kTricky, GraphFormat::kTurtle, 1 << 20, 1);
  EXPECT_NE(whole.find("http://other/p"), std::string::npos);
  EXPECT_NE(whole.find("http://base/b/c"), std::string::npos);
  for (std::size_t bytes = 1; bytes < 64; ++bytes) {
    EXPECT_EQ(streamed(kTricky, GraphFormat::kTurtle, bytes), whole) << bytes;
  }
  const std::string trig = "PREFIX : <http://ex/>\n:g { :a :b \"}.\" . :c :d :e } { :f :g :h }\n:i :j :k .\n";
  const std::string whole_trig = streamed(trig, GraphFormat::kTriG, 1 << 20, 1);
  for (std::size_t bytes = 1; bytes < 32; ++bytes) EXPECT_EQ(streamed(trig, GraphFormat::kTriG, bytes), whole_trig);
  // A comment ends at a lone carriage return: the directive after it counts.
  const std::string cr = "# a comment\r@prefix q: <http://q/> .\nq:a q:b q:c .\nq:d q:e q:f .\n";
  for (std::size_t bytes = 1; bytes < 32; ++bytes) {
    EXPECT_EQ(streamed(cr, GraphFormat::kTurtle, bytes), streamed(cr, GraphFormat::kTurtle, 1 << 20)) << bytes;
  }
}

TEST(Turtle, ProblemsNameTheirLineWhereverThePiecesAreCut) {
  const std::string text = std::string(kTricky) + "ex:a ex:b ex:c .\n\nex:a ex:b undeclared:c .\n";
  for (std::size_t bytes : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 20}) {
    EXPECT_EQ(streamed(text, GraphFormat::kTurtle, bytes), "line 11: the prefix 'undeclared:' is not declared");
  }
  EXPECT_EQ(streamed("<http://a> <http://b> <c> .", GraphFormat::kTurtle, 64),
            "line 1: expected an absolute IRI (a scheme, then ':'), found <c> with no base IRI to resolve it "
            "against (@base, BASE or read()'s base=)");
  EXPECT_EQ(streamed("<http://a> <http://b> <http://c> .\n<http://a> <http://b> \xC3 .", GraphFormat::kTurtle, 64),
            "line 2: bytes that are not UTF-8");
}

// A hub's statement, long enough to be cut inside: ';' and ',' lists, 'a',
// a literal that ends its line inside brackets, a labelled blank node's
// statement and one whose '[' subject is never cut inside.
std::string hub_statements() {
  std::string text = "@prefix ex: <http://ex/> .\nex:hub a ex:T ;\n";
  for (int p = 0; p < 30; ++p) {
    text += "  ex:p" + std::to_string(p) + " ex:o" + std::to_string(p) +
            " , \"v;,.\"@en ,\n    [ ex:name \"x\"\n    ] ;;\n";
  }
  text += "  ex:last ( 1 2 ) .\n_:b ex:q ex:a ; ex:r ex:b , ex:c .\n[ ex:q ex:a ] ex:r ex:b ; ex:s ex:c .\n";
  return text;
}

TEST(Turtle, LongStatementsAreCutInsideAndReadTheSame) {
  const std::string turtle = hub_statements();
  const std::string trig = "PREFIX ex: <http://ex/>\nex:g {\n" + turtle.substr(turtle.find('\n') + 1) + "}\n" +
                           turtle.substr(turtle.find('\n') + 1);
  for (const auto& [text, format, edges] :
       {std::tuple{turtle, GraphFormat::kTurtle, "132 edges"}, std::tuple{trig, GraphFormat::kTriG, "264 edges"}}) {
    const std::string whole = streamed(text, format, 1 << 20, 1);
    EXPECT_NE(whole.find(edges), std::string::npos) << whole.substr(0, 40);
    for (std::size_t bytes = 1; bytes < 90; bytes += 4) EXPECT_EQ(streamed(text, format, bytes), whole) << bytes;
  }
  // A problem after a cut inside a statement names its line as read whole.
  const std::string bad = "@prefix ex: <http://ex/> .\nex:s ex:p ex:o ;\n ex:q ex:r ,\n ex:t ;\n ex:u undeclared:x .\n";
  const std::string unlisted = "@prefix ex: <http://ex/> .\nex:s ex:p ex:o ,\n ex:t , .\n";
  for (std::size_t bytes = 1; bytes < 40; ++bytes) {
    EXPECT_EQ(streamed(bad, GraphFormat::kTurtle, bytes), "line 5: the prefix 'undeclared:' is not declared");
    EXPECT_EQ(streamed(unlisted, GraphFormat::kTurtle, bytes), streamed(unlisted, GraphFormat::kTurtle, 1 << 20));
  }
}

TEST(Turtle, TheW3CSuitesReadTheSameInAnyPieces) {
  const std::filesystem::path suites = VANTREL_RDF_TESTS_DIR;
  if (!std::filesystem::is_directory(suites / "rdf-turtle")) GTEST_SKIP() << "no " << suites;
  std::size_t files = 0;
  for (const auto& [folder, format] :
       {std::pair{"rdf-turtle", GraphFormat::kTurtle}, {"rdf-trig", GraphFormat::kTriG}}) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(suites / folder)) {
      const std::string suffix = entry.path().extension().string();
      if (suffix != ".ttl" && suffix != ".trig") continue;
      std::ifstream in(entry.path(), std::ios::binary);
      const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      const std::string whole = streamed(text, format, 1 << 20, 1);
      for (std::size_t bytes : {1, 5, 48}) EXPECT_EQ(streamed(text, format, bytes), whole) << entry.path();
      ++files;
    }
  }
  EXPECT_GT(files, 500u);
}

TEST(Turtle, DeepNestingIsRefusedNotRecursedInto) {
  const std::string deep = "<http://a> <http://b> " + std::string(100000, '(') + std::string(100000, ')') + " .";
  EXPECT_EQ(streamed(deep, GraphFormat::kTurtle, 1 << 20),
            "line 1: blank nodes or collections nested more than 1000 deep");
}

TEST(Iri, ResolvesAsRfc3986Says) {
  // RFC 3986, 5.4's examples.
  const std::string base = "http://a/b/c/d;p?q";
  const std::pair<const char*, const char*> cases[] = {
      {"g:h", "g:h"},
      {"g", "http://a/b/c/g"},
      {"./g", "http://a/b/c/g"},
      {"g/", "http://a/b/c/g/"},
      {"/g", "http://a/g"},
      {"//g", "http://g"},
      {"?y", "http://a/b/c/d;p?y"},
      {"g?y", "http://a/b/c/g?y"},
      {"#s", "http://a/b/c/d;p?q#s"},
      {"", "http://a/b/c/d;p?q"},
      {".", "http://a/b/c/"},
      {"..", "http://a/b/"},
      {"../..", "http://a/"},
      {"../../../g", "http://a/g"},
      {"/./g", "http://a/g"},
      {"g.", "http://a/b/c/g."},
      {"./../g", "http://a/b/g"},
      {"g;x=1/../y", "http://a/b/c/y"},
  };
  for (const auto& [reference, resolved] : cases) EXPECT_EQ(resolve_iri(base, reference), resolved) << reference;
}

}  // namespace
}  // namespace vantrel
