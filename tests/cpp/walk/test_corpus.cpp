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
  const auto walks = draw_numbered_walks<std::uint32_t>(kg, rules, {.first = 100, .stop = 20100}, 0, {});
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
    const CorpusCounts counts = write_corpus(kg, rules, {.first = 100, .stop = 20100, .threads = 3},
                                             {::fileno(file.get()), format, written}, {});
    EXPECT_EQ(counts.walks, 20000u);
    EXPECT_EQ(counts.tokens, walks.tokens.size());
    EXPECT_EQ(written.load(), 20000u);
    EXPECT_EQ(contents_of(file.get()), expected);
  }
}

}  // namespace
}  // namespace vantrel
