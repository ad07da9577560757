#include "read/tsv.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {
namespace {

using Triples = std::vector<Triple>;

struct ReadCase {
  const char* name;
  std::string content;
  Triples expected;
};

class ReadTriples : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadTriples, LineAndFieldRules) {
  EXPECT_EQ(read_triples(GetParam().content, TripleOrder::HRT), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ReadTriples,
    ::testing::Values(
        ReadCase{"Empty", "", {}}, ReadCase{"NoFinalNewline", "a\tr\tb", {{"a", "r", "b"}}},
        ReadCase{"FinalNewline", "a\tr\tb\n", {{"a", "r", "b"}}}, ReadCase{"CrLf", "a\tr\tb\r\n", {{"a", "r", "b"}}},
        ReadCase{"CrAtEndWithoutNewline", "a\tr\tb\r", {{"a", "r", "b"}}},
        ReadCase{"TwoCrKeepOne", "a\tr\tb\r\r\n", {{"a", "r", "b\r"}}},
        ReadCase{"CrInsideStays", "a\rx\tr\tb\n", {{"a\rx", "r", "b"}}},
        ReadCase{"ExtraFieldsDropped", "a\tr\tb\tc\td\n", {{"a", "r", "b"}}},
        ReadCase{"TrailingTabMakesEmptyFourth", "a\tr\tb\t\n", {{"a", "r", "b"}}},
        ReadCase{"SpacesKept", "a \t r\tb\n", {{"a ", " r", "b"}}}, ReadCase{"OnlyTabs", "\t\t\n", {{"", "", ""}}},
        ReadCase{"RepeatedLines", "x\ty\tz\nx\ty\tz\nx\ty\tz\n", {{"x", "y", "z"}, {"x", "y", "z"}, {"x", "y", "z"}}},
        ReadCase{"ByteOrderMarkKept",
                 "\xEF\xBB\xBF"
                 "a\tr\tb\n",
                 {{"\xEF\xBB\xBF"
                   "a",
                   "r", "b"}}},
        ReadCase{"NulInsideLabel", std::string("a\0b\tr\tc\n", 8), {{std::string("a\0b", 3), "r", "c"}}},
        ReadCase{"UnicodeSeparatorsAreText",
                 "a\xE2\x80\xA8"
                 "b\tr\xC2\x85\tc\x0B\x0C\n",
                 {{"a\xE2\x80\xA8"
                   "b",
                   "r\xC2\x85", "c\x0B\x0C"}}}),
    [](const auto& info) { return std::string(info.param.name); });

struct FailCase {
  const char* name;
  std::string content;
  TripleOrder order;
  const char* message;
  std::uint64_t line;
};

class ReadTriplesFails : public ::testing::TestWithParam<FailCase> {};

TEST_P(ReadTriplesFails, ShortLine) {
  const FailCase& c = GetParam();
  try {
    read_triples(c.content, c.order);
    FAIL() << "no exception";
  } catch (const ShortLineError& error) {
    EXPECT_STREQ(error.what(), c.message);
    EXPECT_EQ(error.line_number(), c.line);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ReadTriplesFails,
    ::testing::Values(
        FailCase{"LoneNewline", "\n", TripleOrder::HRT, "index out of bounds: the len is 1 but the index is 1", 1},
        FailCase{"TwoFinalNewlines", "a\tr\tb\n\n", TripleOrder::HRT,
                 "index out of bounds: the len is 1 but the index is 1", 2},
        FailCase{"OneField", "a\tr\tb\nabc\n", TripleOrder::HRT, "index out of bounds: the len is 1 but the index is 1",
                 2},
        FailCase{"TwoFields", "a\tb\n", TripleOrder::HRT, "index out of bounds: the len is 2 but the index is 2", 1},
        FailCase{"CrOnly", "a\tr\tb\r\n\r\n", TripleOrder::HRT, "index out of bounds: the len is 1 but the index is 1",
                 2},
        FailCase{"HtrOneField", "a\n", TripleOrder::HTR, "index out of bounds: the len is 1 but the index is 2", 1},
        FailCase{"HtrTwoFields", "a\tb", TripleOrder::HTR, "index out of bounds: the len is 2 but the index is 2", 1},
        FailCase{"FirstBadLineWins", "a\tr\tb\nx\ty\nz\n", TripleOrder::HRT,
                 "index out of bounds: the len is 2 but the index is 2", 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadTriples, HtrSwapsRelationAndTail) {
  EXPECT_EQ(read_triples("a\tb\tr\n", TripleOrder::HTR), (Triples{{"a", "r", "b"}}));
  EXPECT_EQ(read_triples("a\tb\tr\tx", TripleOrder::HTR), (Triples{{"a", "r", "b"}}));
}

// Lines and fields cut the plain way, for comparison on random content.
Triples split_plainly(const std::string& content) {
  Triples triples;
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t newline = content.find('\n', start);
    std::string line = content.substr(start, newline == std::string::npos ? std::string::npos : newline - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> fields;
    std::size_t from = 0;
    for (std::size_t tab; (tab = line.find('\t', from)) != std::string::npos; from = tab + 1) {
      fields.push_back(line.substr(from, tab - from));
    }
    fields.push_back(line.substr(from));
    triples.emplace_back(fields.at(0), fields.at(1), fields.at(2));
    start = newline == std::string::npos ? content.size() : newline + 1;
  }
  return triples;
}

TEST(ReadTriples, RandomContentAcrossVectorBoundaries) {
  std::mt19937 gen(5);
  const char alphabet[] = "ab\r\t xé";
  for (int round = 0; round < 300; ++round) {
    std::string content;
    const int lines = static_cast<int>(gen() % 40);
    for (int l = 0; l < lines; ++l) {
      for (int field = 0; field < 3 + static_cast<int>(gen() % 3); ++field) {
        if (field > 0) content += '\t';
        const int length = static_cast<int>(gen() % 40);
        for (int c = 0; c < length; ++c) {
          const char ch = alphabet[gen() % 7];
          content += ch == '\t' ? 'z' : ch;
        }
      }
      if (gen() % 3 == 0) content += '\r';
      if (l + 1 < lines || gen() % 2 == 0) content += '\n';
    }
    ASSERT_EQ(read_triples(content, TripleOrder::HRT), split_plainly(content)) << round;
    ASSERT_EQ(count_lines(content), split_plainly(content).size()) << round;
  }
}

// Lines cut with a time column: the fields kept trimmed, columns between the
// triple and the time skipped, the line's carriage return dropped.
TEST(TimedTripleCursor, CutsFieldsUpToTheTimeColumn) {
  TimedTripleCursor cursor(" a \tr\t b\tskip\t 7 \r\nc\ts\td\t\t-1\tafter\ne\tt\tf\tx\t2.5", 4);
  TripleCursor::Fields fields;
  std::string_view time;
  const std::vector<std::vector<std::string_view>> expected = {
      {"a", "r", "b", "7"}, {"c", "s", "d", "-1"}, {"e", "t", "f", "2.5"}};
  for (const auto& line : expected) {
    ASSERT_TRUE(cursor.next(fields, time));
    EXPECT_EQ((std::vector<std::string_view>{fields.head, fields.relation, fields.tail, time}), line);
  }
  EXPECT_FALSE(cursor.next(fields, time));
}

TEST(TimedTripleCursor, ALineWithoutTheTimeColumnNamesItsFields) {
  const struct {
    const char* content;
    const char* problem;
  } cases[] = {
      {"a\n", "line 2: the line has 1 field, and its time is in column 4 (from 0)"},
      {"a\tr\n", "line 2: the line has 2 fields, and its time is in column 4 (from 0)"},
      {"a\tr\tb", "line 2: the line has 3 fields, and its time is in column 4 (from 0)"},
      {"a\tr\tb\t1\n", "line 2: the line has 4 fields, and its time is in column 4 (from 0)"},
  };
  for (const auto& [content, problem] : cases) {
    const std::string lines = std::string("a\tr\tb\tx\t1\n") + content;
    TimedTripleCursor cursor(lines, 4);
    TripleCursor::Fields fields;
    std::string_view time;
    ASSERT_TRUE(cursor.next(fields, time));
    try {
      cursor.next(fields, time);
      ADD_FAILURE() << content;
    } catch (const TimeColumnError& error) {
      EXPECT_STREQ(error.what(), problem);
      EXPECT_EQ(error.line_number(), 2u);
    }
  }
}

TEST(CountLines, LongContent) {
  // More than 255 sixteen-byte blocks, with a partial block at the end.
  std::string content;
  for (int i = 0; i < 3000; ++i) content += i % 7 == 0 ? "\n" : "abc\tdef\tgh\n";
  content += "tail";
  EXPECT_EQ(count_lines(content), 3001u);
}

TEST(CountLines, FinalNewlineOpensNoLine) {
  EXPECT_EQ(count_lines(""), 0u);
  EXPECT_EQ(count_lines("\n"), 1u);
  EXPECT_EQ(count_lines("a"), 1u);
  EXPECT_EQ(count_lines("a\nb"), 2u);
  EXPECT_EQ(count_lines("a\nb\n"), 2u);
}

}  // namespace
}  // namespace vantrel
