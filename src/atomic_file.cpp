#include "atomic_file.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

#include "errors.hpp"

namespace vantrel {

namespace {

// The process's umask, read without changing it (umask() can only be read
// by setting it, which would race with other threads creating files).
mode_t current_umask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
  }
  return 022;
}

}  // namespace

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)) {
  const std::size_t slash = path_.rfind('/');
  const std::string directory = slash == std::string::npos ? "" : path_.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path_ : path_.substr(slash + 1);
  temporary_path_ = directory + "." + name + ".XXXXXX.tmp";
  fd_ = ::mkostemps(temporary_path_.data(), 4, O_CLOEXEC);
  if (fd_ < 0) throw WriteError(errno);
  if (::fchmod(fd_, 0666 & ~current_umask()) != 0) {
    const int code = errno;
    discard();
    throw WriteError(code);
  }
}

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::discard() noexcept {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
    ::unlink(temporary_path_.c_str());
  }
}

void AtomicFile::commit() {
  const int fd = fd_;
  fd_ = -1;
  // close() reports write errors that some file systems (NFS) only see then.
  if (::close(fd) != 0 || ::rename(temporary_path_.c_str(), path_.c_str()) != 0) {
    const int code = errno;
    ::unlink(temporary_path_.c_str());
    throw WriteError(code);
  }
}

void write_fully(int fd, std::string_view bytes, const InterruptPoll& poll) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno != EINTR) throw WriteError(errno);
      if (poll) poll();
      continue;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace vantrel
