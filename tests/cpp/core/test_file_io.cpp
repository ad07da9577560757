#include "core/file_io.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "core/errors.hpp"
#include "graph/kg.hpp"
#include "read/byte_source.hpp"
#include "read/graph_reader.hpp"

namespace vantrel {
namespace {

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("vantrel-test-" + std::to_string(::getpid()) + "-" +
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

using ReadFile = TempDir;

// Reads the file at `path` as the constructor does.
KG read_file(const std::string& path) {
  FileSource source(path, {});
  return read_graph(source);
}

TEST_F(ReadFile, ReadsWholeContentAndKnowsItsSize) {
  std::string big;
  for (int i = 0; i < 100000; ++i) big += "q" + std::to_string(i % 977) + "\tr\t\xC3\xA9" + std::to_string(i) + "\n";
  EXPECT_EQ(read_file(write("big.tsv", big)).edge_count(), 100000u);
  EXPECT_EQ(FileSource(write("sized.tsv", big), {}).size_bound(), big.size());
  EXPECT_EQ(read_file(write("empty.tsv", "")).edge_count(), 0u);
}

// The IoError that reading `path` throws.
IoError read_error(const std::string& path) {
  try {
    read_file(path);
  } catch (const IoError& error) {
    return error;
  }
  throw std::logic_error("read " + path + " without an error");
}

TEST_F(ReadFile, FailuresSayWhatTheReaderSays) {
  const IoError missing = read_error((dir_ / "absent.tsv").string());
  EXPECT_STREQ(missing.what(),
               "called `Result::unwrap()` on an `Err` value: "
               "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
  EXPECT_EQ(missing.os_code(), 2);
  EXPECT_STREQ(read_error(dir_.string()).what(),
               "called `Result::unwrap()` on an `Err` value: "
               "Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }");
  const IoError nul = read_error(write("a", "x\ty\tz\n") + std::string(1, '\0') + "suffix");  // opens nothing
  EXPECT_STREQ(nul.what(),
               "called `Result::unwrap()` on an `Err` value: "
               "Custom { kind: InvalidInput, error: \"file name contained an unexpected NUL byte\" }");
  EXPECT_EQ(nul.os_code(), 0);
  EXPECT_EQ(nul.kind(), "InvalidInput");
  EXPECT_STREQ(read_error(write("bad.tsv", "a\tr\t\xC0\xAF\n")).what(),
               "called `Result::unwrap()` on an `Err` value: "
               "Custom { kind: InvalidData, error: \"stream did not contain valid UTF-8\" }");
}

TEST_F(ReadFile, NoReadPermission) {
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
      read_file(path);
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

using WriteFile = TempDir;

std::string read_back(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

TEST_F(WriteFile, AtomicFileAppearsOnlyOnCommit) {
  const std::string path = write("out.tsv", "old");
  {
    AtomicFile file(path);
    write_fully(file.fd(), "discarded");
  }  // no commit: the old file stays, the temporary one is gone
  EXPECT_EQ(read_back(path), "old");
  {
    AtomicFile file(path);
    write_fully(file.fd(), "new");
    EXPECT_EQ(read_back(path), "old");
    file.commit();
  }
  EXPECT_EQ(read_back(path), "new");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), std::filesystem::directory_iterator()), 1);
}

TEST_F(WriteFile, MissingDirectoryIsTheSystemsError) {
  try {
    OutputFile file((dir_ / "absent" / "out.tsv").string());
    FAIL() << "no error";
  } catch (const WriteError& error) {
    EXPECT_EQ(error.os_code(), ENOENT);
  }
}

}  // namespace
}  // namespace vantrel
