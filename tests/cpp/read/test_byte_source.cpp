#include "read/byte_source.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "core/errors.hpp"

namespace vantrel {
namespace {

// Everything `source` gives, read `piece` bytes at a time at most.
std::string read_all(ByteSource& source, std::size_t piece) {
  std::string out;
  std::string buffer(piece, '\0');
  for (std::size_t got; (got = source.read(buffer.data(), piece, {})) > 0;) out.append(buffer, 0, got);
  return out;
}

TEST(MemorySource, GivesItsTextInPiecesAndKnowsItsSize) {
  const std::string text = "a\tr\tb\nc\tr\td\n";
  for (const std::size_t piece : {1, 5, 64}) {
    MemorySource source(text);
    EXPECT_EQ(source.size_bound(), text.size());
    EXPECT_EQ(read_all(source, piece), text);
    char byte;
    EXPECT_EQ(source.read(&byte, 1, {}), 0u);  // and 0 again at the end
  }
}

TEST(FileSource, ReadsARegularFileAndAPipeAndFailsAsTheReaderDoes) {
  char path[] = "/tmp/vantrel-byte-source-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string text(100000, 'x');
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(fd);
  {
    FileSource file(path, {});
    EXPECT_EQ(file.size_bound(), text.size());
    CountingSource counted(file);
    EXPECT_EQ(read_all(counted, 4096), text);
    EXPECT_EQ(counted.bytes_read(), text.size());
  }
  ::unlink(path);

  int pipe_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);
  std::thread writer([&] {
    for (int i = 0; i < 10; ++i) ASSERT_EQ(::write(pipe_ends[1], "a\tr\tb\n", 6), 6);
    ::close(pipe_ends[1]);
  });
  {
    FileSource pipe("/dev/fd/" + std::to_string(pipe_ends[0]), {});
    EXPECT_FALSE(pipe.size_bound());  // a pipe's size is not known beforehand
    EXPECT_EQ(read_all(pipe, 7).size(), 60u);
  }
  writer.join();
  ::close(pipe_ends[0]);

  try {
    FileSource missing("/nonexistent/kg.tsv", {});
    ADD_FAILURE() << "no failure";
  } catch (const IoError& error) {
    EXPECT_EQ(error.os_code(), ENOENT);
  }
  try {
    FileSource nul(std::string("kg\0.tsv", 7), {});
    ADD_FAILURE() << "no failure";
  } catch (const IoError& error) {
    EXPECT_EQ(error.kind(), "InvalidInput");
  }
}

}  // namespace
}  // namespace vantrel
