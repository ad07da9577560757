// Files that appear whole or not at all: written under a temporary name in
// the same directory, then renamed over the final path.
#pragma once

#include <string>
#include <string_view>

#include "interrupt.hpp"

namespace vantrel {

// A file being written under a temporary name beside `path`. Until commit()
// the final path is untouched; if the object goes away without a commit
// (a failure, an interrupt), the temporary file is removed.
class AtomicFile {
 public:
  // Creates the temporary file, readable and writable as a new file at
  // `path` would be (0666 less the umask). Throws WriteError.
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

// Writes all of `bytes` to `fd`, going on after interrupted calls (calling
// `poll` after each). Throws WriteError.
void write_fully(int fd, std::string_view bytes, const InterruptPoll& poll = {});

}  // namespace vantrel
