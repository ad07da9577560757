#include "triple.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
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
        ReadCase{"Empty", "", {}},
        ReadCase{"NoFinalNewline", "a\tr\tb", {{"a", "r", "b"}}},
        ReadCase{"FinalNewline", "a\tr\tb\n", {{"a", "r", "b"}}},
        ReadCase{"CrLf", "a\tr\tb\r\n", {{"a", "r", "b"}}},
        ReadCase{"CrAtEndWithoutNewline", "a\tr\tb\r", {{"a", "r", "b"}}},
        ReadCase{"TwoCrKeepOne", "a\tr\tb\r\r\n", {{"a", "r", "b\r"}}},
        ReadCase{"CrInsideStays", "a\rx\tr\tb\n", {{"a\rx", "r", "b"}}},
        ReadCase{"ExtraFieldsDropped", "a\tr\tb\tc\td\n", {{"a", "r", "b"}}},
        ReadCase{"TrailingTabMakesEmptyFourth", "a\tr\tb\t\n", {{"a", "r", "b"}}},
        ReadCase{"SpacesKept", "a \t r\tb\n", {{"a ", " r", "b"}}},
        ReadCase{"OnlyTabs", "\t\t\n", {{"", "", ""}}},
        ReadCase{"RepeatedLines", "x\ty\tz\nx\ty\tz\nx\ty\tz\n", {{"x", "y", "z"}, {"x", "y", "z"}, {"x", "y", "z"}}},
        ReadCase{"ByteOrderMarkKept", "\xEF\xBB\xBF" "a\tr\tb\n", {{"\xEF\xBB\xBF" "a", "r", "b"}}},
        ReadCase{"NulInsideLabel", std::string("a\0b\tr\tc\n", 8), {{std::string("a\0b", 3), "r", "c"}}},
        ReadCase{"UnicodeSeparatorsAreText", "a\xE2\x80\xA8" "b\tr\xC2\x85\tc\x0B\x0C\n",
                 {{"a\xE2\x80\xA8" "b", "r\xC2\x85", "c\x0B\x0C"}}}),
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
        FailCase{"OneField", "a\tr\tb\nabc\n", TripleOrder::HRT, "index out of bounds: the len is 1 but the index is 1", 2},
        FailCase{"TwoFields", "a\tb\n", TripleOrder::HRT, "index out of bounds: the len is 2 but the index is 2", 1},
        FailCase{"CrOnly", "a\tr\tb\r\n\r\n", TripleOrder::HRT, "index out of bounds: the len is 1 but the index is 1", 2},
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

struct Utf8Case {
  const char* name;
  std::string bytes;
  bool valid;
};

class Utf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8, StrictValidation) {
  EXPECT_EQ(is_valid_utf8(GetParam().bytes), GetParam().valid);
  // The same bytes after a long ASCII run take the fast path first.
  EXPECT_EQ(is_valid_utf8(std::string(37, 'x') + GetParam().bytes + "tail"), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
    Classes, Utf8,
    ::testing::Values(Utf8Case{"Ascii", "plain", true}, Utf8Case{"TwoByte", "\xC3\xA9", true},
                      Utf8Case{"ThreeByte", "\xE2\x82\xAC", true}, Utf8Case{"FourByte", "\xF0\x9F\x98\x80", true},
                      Utf8Case{"MaxCodePoint", "\xF4\x8F\xBF\xBF", true}, Utf8Case{"Nul", std::string(1, '\0'), true},
                      Utf8Case{"LastBeforeSurrogates", "\xED\x9F\xBF", true},
                      Utf8Case{"OverlongTwo", "\xC0\xAF", false}, Utf8Case{"OverlongC1", "\xC1\xBF", false},
                      Utf8Case{"OverlongThree", "\xE0\x80\xAF", false},
                      Utf8Case{"OverlongFour", "\xF0\x80\x80\xAF", false},
                      Utf8Case{"Surrogate", "\xED\xA0\x80", false}, Utf8Case{"AboveMax", "\xF4\x90\x80\x80", false},
                      Utf8Case{"F5Lead", "\xF5\x80\x80\x80", false}, Utf8Case{"FFByte", "\xFF", false},
                      Utf8Case{"LoneContinuation", "\x80", false}, Utf8Case{"TruncatedTwo", "\xC3", false},
                      Utf8Case{"TruncatedFour", "\xF0\x9F\x98", false},
                      Utf8Case{"BadContinuation", "\xE2\x28\xA1", false}),
    [](const auto& info) { return std::string(info.param.name); });

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("vantrel-test-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string write(const std::string& name, const std::string& content) {
    const auto path = dir_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }
  std::filesystem::path dir_;
};

using ReadTextFile = TempDir;

TEST_F(ReadTextFile, ReadsWholeContent) {
  std::string big(1 << 20, 'q');
  big += "\xC3\xA9\n";
  EXPECT_EQ(read_text_file(write("big.tsv", big)).text(), big);
  EXPECT_EQ(read_text_file(write("empty.tsv", "")).text(), "");
}

TEST_F(ReadTextFile, MissingFile) {
  try {
    read_text_file((dir_ / "absent.tsv").string());
    FAIL();
  } catch (const IoError& error) {
    EXPECT_STREQ(error.what(),
                 "called `Result::unwrap()` on an `Err` value: "
                 "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
    EXPECT_EQ(error.os_code(), 2);
  }
}

TEST_F(ReadTextFile, Directory) {
  try {
    read_text_file(dir_.string());
    FAIL();
  } catch (const IoError& error) {
    EXPECT_STREQ(error.what(),
                 "called `Result::unwrap()` on an `Err` value: "
                 "Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }");
  }
}

TEST_F(ReadTextFile, NulInPathOpensNothing) {
  const std::string real = write("a", "x\ty\tz\n");
  try {
    read_text_file(real + std::string(1, '\0') + "suffix");
    FAIL();
  } catch (const IoError& error) {
    EXPECT_STREQ(error.what(),
                 "called `Result::unwrap()` on an `Err` value: "
                 "Custom { kind: InvalidInput, error: \"file name contained an unexpected NUL byte\" }");
    EXPECT_EQ(error.os_code(), 0);
    EXPECT_EQ(error.kind(), "InvalidInput");
  }
}

TEST_F(ReadTextFile, InvalidUtf8) {
  try {
    read_text_file(write("bad.tsv", "a\tr\t\xC0\xAF\n"));
    FAIL();
  } catch (const IoError& error) {
    EXPECT_STREQ(error.what(),
                 "called `Result::unwrap()` on an `Err` value: "
                 "Custom { kind: InvalidData, error: \"stream did not contain valid UTF-8\" }");
  }
}

TEST_F(ReadTextFile, NoReadPermission) {
  // Root reads anything: drop to nobody in a child process, which then reads
  // a mode-000 file in a folder it may enter, and reports by exit status.
  if (::geteuid() != 0) GTEST_SKIP() << "run as root to test as another user";
  std::filesystem::permissions(dir_, std::filesystem::perms::all);
  const std::string path = write("secret.tsv", "a\tr\tb\n");
  std::filesystem::permissions(path, std::filesystem::perms::none);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    try {
      read_text_file(path);
    } catch (const IoError& error) {
      const bool expected = std::string(error.what()) ==
                                "called `Result::unwrap()` on an `Err` value: "
                                "Os { code: 13, kind: PermissionDenied, message: \"Permission denied\" }" &&
                            error.os_code() == EACCES;
      ::_exit(expected ? 0 : 3);
    }
    ::_exit(4);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(IoErrorKind, ErrnoNames) {
  EXPECT_EQ(io_error_kind(ENOENT), "NotFound");
  EXPECT_EQ(io_error_kind(EACCES), "PermissionDenied");
  EXPECT_EQ(io_error_kind(EPERM), "PermissionDenied");
  EXPECT_EQ(io_error_kind(EISDIR), "IsADirectory");
  EXPECT_EQ(io_error_kind(ENOTDIR), "NotADirectory");
  EXPECT_EQ(io_error_kind(ENAMETOOLONG), "InvalidFilename");
  EXPECT_EQ(io_error_kind(ELOOP), "FilesystemLoop");
  EXPECT_EQ(io_error_kind(EIO), "Uncategorized");
}

}  // namespace
}  // namespace vantrel
