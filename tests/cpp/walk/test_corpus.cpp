#include "walk/corpus.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

#include "graph/builder.hpp"
#include "graph_support.hpp"

namespace vantrel {
namespace {

TEST(AppendEscaped, WhitespaceAndPercentAsUtf8Bytes) {
  const struct {
    std::string text, escaped;
  } cases[] = {
      {"North Sea", "North%20Sea"},
      {"50%", "50%25"},
      {"a\tb\nc\rd\x1F", "a%09b%0Ac%0Dd%1F"},
      {"nb\xC2\xA0sp\xE3\x80\x80", "nb%C2%A0sp%E3%80%80"},
      {"caf\xC3\xA9 \xE2\x80\x8B", "caf\xC3\xA9%20\xE2\x80\x8B"},  // é and the zero-width space stay
      {"", ""},
  };
  for (const auto& c : cases) {
    std::string out = "x";
    append_escaped(c.text, out);
    EXPECT_EQ(out, "x" + c.escaped) << c.text;
  }
}

// The text a file descriptor's file holds.
std::string contents_of(std::FILE* file) {
  std::string text;
  std::rewind(file);
  for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
  return text;
}

TEST(WriteCorpus, EachLineIsAWalkByNumberInOrder) {
  const std::string triples = "A\tr\tB B\nB B\ts\tC\nC\tr\tA\n";
  const KG kg = graph_of_text(triples);
  const WalkRules rules{Poisson::from_mean(3.0), 7, key_from_seed(seed_from_random_state(5)), std::nullopt};
  const auto walks = draw_numbered_walks<std::uint32_t>(kg, rules, 100, 20100, StartRule::kDrawn, 1, 0, {});
  for (const CorpusFormat format : {CorpusFormat::kTsv, CorpusFormat::kWords}) {
    std::string expected;
    for (std::size_t k = 0; k + 1 < walks.offsets.size(); ++k) {
      for (std::uint64_t i = walks.offsets[k]; i < walks.offsets[k + 1]; ++i) {
        if (i != walks.offsets[k]) expected += format == CorpusFormat::kTsv ? '\t' : ' ';
        const PathPiece piece = kg.token_text(walks.tokens[i]);
        std::string label(piece.label);
        if (format == CorpusFormat::kWords && label == "B B") label = "B%20B";
        expected += label + std::string(suffix_text(piece.suffix));
      }
      expected += '\n';
    }
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::tmpfile(), std::fclose);
    std::atomic<std::uint64_t> written{0};
    const CorpusCounts counts = write_corpus(kg, rules, 100, 20100, StartRule::kDrawn, Items::kPath, {}, format, 3,
                                             ::fileno(file.get()), written, {});
    EXPECT_EQ(counts.walks, 20000u);
    EXPECT_EQ(counts.tokens, walks.tokens.size());
    EXPECT_EQ(written.load(), 20000u);
    EXPECT_EQ(contents_of(file.get()), expected);
  }
}

}  // namespace
}  // namespace vantrel
