#include "read/graph_reader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "core/utf8.hpp"
#include "graph_support.hpp"
#include "read/tsv.hpp"

namespace vantrel {
namespace {

// The result of reading `text` whole, as the reader did before it streamed:
// the UTF-8 check of the whole text, then every line, then the graph.
std::string whole_text_result(const std::string& text) {
  if (!is_valid_utf8(text)) return "InvalidData";
  try {
    return dump(from_triples(read_triples(text, TripleOrder::HRT)));
  } catch (const ShortLineError& error) {
    return std::string(error.what()) + " at " + std::to_string(error.line_number());
  }
}

std::string streamed_result(const std::string& text, std::size_t chunk_bytes, unsigned threads) {
  MemorySource source(text);
  GraphReadOptions options;
  options.chunk_bytes = chunk_bytes;
  options.threads = threads;
  try {
    return dump(read_graph(source, options));
  } catch (const IoError& error) {
    return error.kind();
  } catch (const ShortLineError& error) {
    return std::string(error.what()) + " at " + std::to_string(error.line_number());
  }
}

// Random texts of few labels (so that nodes repeat), with the line ends,
// empty fields, long lines, short lines and bad bytes that the reader must
// place exactly, whatever piece they fall in.
std::string random_text(std::mt19937_64& random, bool with_faults) {
  static const char* const kPieces[] = {"a", "b", "c", "é", "", "long-label-long-label-long-label", " "};
  std::string text;
  const int lines = static_cast<int>(random() % 60);
  for (int i = 0; i < lines; ++i) {
    const int fields =
        with_faults && random() % 25 == 0 ? static_cast<int>(random() % 3) : 3 + static_cast<int>(random() % 2);
    for (int f = 0; f < fields; ++f) {
      if (f > 0) text += '\t';
      text += kPieces[random() % std::size(kPieces)];
    }
    if (with_faults && random() % 40 == 0) text += "\xC3";  // a truncated sequence
    text += random() % 5 == 0 ? "\r\n" : "\n";
  }
  if (!text.empty() && random() % 3 == 0) text.pop_back();
  return text;
}

TEST(ReadGraph, AnyPieceSizeAndThreadCountGivesTheWholeTextResult) {
  std::mt19937_64 random(7);
  int faults = 0;
  for (int round = 0; round < 300; ++round) {
    const std::string text = random_text(random, round % 2 == 1);
    const std::string expected = whole_text_result(text);
    faults += expected.find(" nodes, ") == std::string::npos;
    for (const std::size_t chunk : {1, 2, 5, 16, 1 << 20}) {
      for (const unsigned threads : {1u, 3u}) {
        ASSERT_EQ(streamed_result(text, chunk, threads), expected)
            << "round " << round << ", pieces of " << chunk << ", " << threads << " threads";
      }
    }
  }
  EXPECT_GT(faults, 30);  // both kinds of fault were met, in many places
}

TEST(ReadGraph, BucketMergesAndWideningAnywhereGiveTheSameGraph) {
  // The builder's buckets merge many times over, and its ids widen from 32
  // to 64 bits at the start, midway (in any piece), or not at all.
  const std::string text = tsv_text(random_triples({"many nodes", 8000, 5000, 0.05, 0.02, 0.02}, 5));
  const std::string expected = dump(from_triples(read_triples(text, TripleOrder::HRT)));
  for (const std::uint64_t most_narrow : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{2500}, std::uint64_t{4999},
                                          std::uint64_t{5000}, kMostNarrowTriples}) {
    for (const std::size_t chunk : {std::size_t{7}, std::size_t{4096}, std::size_t{1} << 20}) {
      for (const BucketLimits buckets : {BucketLimits{0, 2}, BucketLimits{3, 5}, BucketLimits{}}) {
        MemorySource source(text);
        GraphReadOptions options;
        options.chunk_bytes = chunk;
        options.threads = 2;
        options.most_narrow_triples = most_narrow;
        options.buckets = buckets;
        ASSERT_EQ(dump(read_graph(source, options)), expected)
            << "widening past " << most_narrow << " triples, pieces of " << chunk << ", buckets of 2^"
            << buckets.initial_shift << ", at most " << buckets.max_buckets;
      }
    }
  }
}

TEST(ReadGraph, BadBytesAfterAShortLineAreReportedFirst) {
  EXPECT_EQ(streamed_result("a\tb\nc\td\te\n" + std::string(100, 'x') + "\xFF\n", 4, 2), "InvalidData");
  EXPECT_EQ(streamed_result("a\tb\tc\n\nc\td\n", 4, 2), "index out of bounds: the len is 1 but the index is 1 at 2");
}

// A source that fails after some bytes, as a disk might.
class FailingSource final : public ByteSource {
 public:
  explicit FailingSource(std::string text) : text_(std::move(text)) {}
  std::size_t read(char* buffer, std::size_t capacity, const InterruptPoll&) override {
    if (text_.empty()) throw IoError::from_os(EIO);
    const std::size_t count = std::min(capacity, text_.size());
    std::memcpy(buffer, text_.data(), count);
    text_.erase(0, count);
    return count;
  }

 private:
  std::string text_;
};

TEST(ReadGraph, AReadFailureAfterAShortLineOrBadBytesComesFirst) {
  for (const char* text : {"a\tb\n", "\xFF\n", "a\tb\tc\n"}) {
    FailingSource source(std::string(text) + std::string(64, 'x'));
    GraphReadOptions options;
    options.chunk_bytes = 8;
    try {
      read_graph(source, options);
      ADD_FAILURE() << "no failure";
    } catch (const IoError& error) {
      EXPECT_EQ(error.os_code(), EIO) << error.what();
    }
  }
}

TEST(ReadGraph, AnRdfSyntaxErrorComesBeforeALaterReadFailure) {
  for (int round = 0; round < 20; ++round) {
    FailingSource source("<a:s> <a:p> <a:o> .\n<a:s> <a:p> 12 .\n" + std::string(4096, '#') + "\n");
    GraphReadOptions options;
    options.format = GraphFormat::kNTriples;
    options.chunk_bytes = 8;
    options.threads = 3;
    EXPECT_THROW(read_graph(source, options), RdfSyntaxError);
  }
}

// A source that notes the most bytes it was ever asked for at once: how
// large the reader let a piece grow.
class WatchedSource final : public ByteSource {
 public:
  explicit WatchedSource(std::string_view text) : text_(text) {}
  std::size_t read(char* buffer, std::size_t capacity, const InterruptPoll& poll) override {
    largest_request = std::max(largest_request, capacity);
    return text_.read(buffer, capacity, poll);
  }
  std::size_t largest_request = 0;

 private:
  MemorySource text_;
};

TEST(ReadGraph, RdfSyntaxErrorsNameTheLineAcrossPiecesWhateverTheLineEnds) {
  // Line feeds, CR LF, and lone carriage returns (which N-Triples allows):
  // pieces are cut at any of them, never inside CR LF.
  for (const std::string line_end : {"\n", "\r\n", "\r"}) {
    std::string text;
    for (int i = 0; i < 50; ++i) text += "<http://x/s" + std::to_string(i) + "> <http://x/p> \"o\" ." + line_end;
    text += "# a comment" + line_end + line_end + "<http://x/s> <http://x/p> <o> ." + line_end;
    for (const std::size_t chunk : {3, 64, 1 << 20}) {
      SCOPED_TRACE("line end " + std::to_string(line_end.size()) + " bytes, pieces of " + std::to_string(chunk));
      WatchedSource source(text);
      GraphReadOptions options;
      options.format = GraphFormat::kNTriples;
      options.chunk_bytes = chunk;
      try {
        read_graph(source, options);
        ADD_FAILURE() << "no failure";
      } catch (const RdfSyntaxError& error) {
        EXPECT_EQ(error.line_number(), 53u);
        EXPECT_STREQ(error.what(), "line 53: expected an absolute IRI (a scheme, then ':'), found <o>");
      }
      // A piece grows only to hold one line (of 42 bytes here).
      EXPECT_LE(source.largest_request, std::max<std::size_t>(chunk, 128));
    }
  }
}

}  // namespace
}  // namespace vantrel
