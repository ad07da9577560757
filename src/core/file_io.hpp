// Files the product reads and writes. A file is opened for reading,
// waiting for a writer or not; output to a regular file appears whole or
// not at all (written under a temporary name in the same directory, then
// renamed over the final path), while what is not a regular file (a FIFO,
// a device, a socket, an open descriptor named /dev/fd/N) is written
// straight into.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "core/interrupt.hpp"

namespace vantrel {

// A file opened for reading, closed when the object goes away.
class ReadOnlyFile {
 public:
  // Whether opening a FIFO waits for a writer.
  enum Wait { kWaitForWriter, kNoWait };
  // Opens `path` as the reader does: InvalidInput (opening nothing) if the
  // path holds a NUL byte, the operating system's error otherwise. A
  // blocking open (a FIFO without a writer) that a signal interrupts calls
  // `poll`, then goes on; with kNoWait the open does not block, and the
  // descriptor is left non-blocking. Throws IoError.
  ReadOnlyFile(const std::string& path, const InterruptPoll& poll, Wait wait = kWaitForWriter);
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
  ~ReadOnlyFile();
  int fd() const { return fd_; }

 private:
  int fd_;
};

// A file being written under a temporary name beside `path`. Until commit()
// the final path is untouched; if the object goes away without a commit
// (a failure, an interrupt), the temporary file is removed.
class AtomicFile {
 public:
  // Creates the temporary file, readable and writable as a new file at
  // `path` would be (0666 less the umask), or, where `path` is a regular
  // file, with its mode, and its owner and group where allowed. Its name is ".NAME.XXXXXX.tmp",
  // with NAME cut short when the whole would be longer than a file name
  // may be. Throws WriteError.
  explicit AtomicFile(std::string path);
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();

  // The descriptor to write to.
  int fd() const { return fd_; }

  // Closes the file and renames it to the final path, replacing what was
  // there. Throws WriteError (and removes the temporary file) on failure.
  void commit();

 private:
  void discard() noexcept;

  std::string path_;
  std::string temporary_path_;
  int fd_ = -1;
};

// Output to `path` as a shell redirection or cp would write it:
// - a symbolic link is followed, and the file it leads to is the one
//   replaced, atomically; the link stays;
// - a regular file, or nothing yet, is written as an AtomicFile;
// - /dev/fd/N (and /proc/self/fd/N, /dev/stdout...) is written through a
//   duplicate of descriptor N, at its position;
// - a FIFO, a device or a socket is opened (or connected to) and written
//   straight into, with no temporary file;
// - a directory fails as renaming over it fails.
class OutputFile {
 public:
  // Opens the output; opening a FIFO waits for a reader, calling `poll`
  // when a signal interrupts the wait. Throws WriteError.
  OutputFile(const std::string& path, const InterruptPoll& poll = {});
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  int fd() const { return atomic_ ? atomic_->fd() : fd_; }
  // Whether the output can be read back and rewritten (a regular file).
  bool is_regular_file() const { return atomic_.has_value(); }

  // Finishes the output: renames a regular file into place, closes the
  // rest. Throws WriteError.
  void commit();

 private:
  std::optional<AtomicFile> atomic_;
  int fd_ = -1;  // owned, when written straight
};

// Writes all of `bytes` to `fd`, going on after interrupted calls (calling
// `poll` after each). Throws WriteError.
void write_fully(int fd, std::string_view bytes, const InterruptPoll& poll = {});

}  // namespace vantrel
