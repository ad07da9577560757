#include "core/file_io.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "core/errors.hpp"

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

// The longest file name (one path component) the temporary name may have.
constexpr std::size_t kLongestName = NAME_MAX;
constexpr std::string_view kTemporarySuffix = ".XXXXXX.tmp";

// The directory part of `path` with its final '/', or "" for a bare name.
std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The descriptor that `path` names when it is /dev/fd/N or /proc/self/fd/N
// (or the same under /proc/thread-self or this process's own number).
std::optional<int> named_descriptor(const std::string& path) {
  const std::string own = "/proc/" + std::to_string(::getpid()) + "/fd/";
  for (const std::string_view prefix : {std::string_view("/dev/fd/"), std::string_view("/proc/self/fd/"),
                                        std::string_view("/proc/thread-self/fd/"), std::string_view(own)}) {
    if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) continue;
    int number = 0;
    for (std::size_t i = prefix.size(); i < path.size(); ++i) {
      if (path[i] < '0' || path[i] > '9' || number > (INT_MAX - 9) / 10) return std::nullopt;
      number = number * 10 + (path[i] - '0');
    }
    return number;
  }
  return std::nullopt;
}

// Where the output of `path` goes, once symbolic links are followed.
struct OutputTarget {
  enum Kind { kReplace, kDescriptor, kSpecial, kSocket } kind;
  std::string path;  // kReplace, kSpecial, kSocket
  int descriptor;    // kDescriptor
};

OutputTarget resolve_output(const std::string& path) {
  constexpr int kMostLinks = 40;  // as the kernel follows at most 40 (ELOOP)
  std::string at = path;
  for (int link = 0; link <= kMostLinks; ++link) {
    if (const std::optional<int> descriptor = named_descriptor(at)) return {OutputTarget::kDescriptor, {}, *descriptor};
    struct stat status;
    if (::lstat(at.c_str(), &status) != 0)
      return {OutputTarget::kReplace, at, -1};  // a new file, or the error rename gives
    if (S_ISREG(status.st_mode) || S_ISDIR(status.st_mode)) return {OutputTarget::kReplace, at, -1};
    if (S_ISSOCK(status.st_mode)) return {OutputTarget::kSocket, at, -1};
    if (!S_ISLNK(status.st_mode)) return {OutputTarget::kSpecial, at, -1};
    std::string target(PATH_MAX, '\0');
    const ssize_t length = ::readlink(at.c_str(), target.data(), target.size());
    if (length < 0) throw WriteError(errno);
    if (static_cast<std::size_t>(length) == target.size()) throw WriteError(ENAMETOOLONG);  // no room to tell it whole
    target.resize(static_cast<std::size_t>(length));
    at = target.starts_with('/') ? target : directory_of(at) + target;
  }
  throw WriteError(ELOOP);
}

// Opens `path` with `flags`. Opening a FIFO blocks until the other end
// comes; a signal ends the wait with EINTR, and the poll decides whether to
// give up. A signal that came before the open (a Ctrl-C as the call began)
// interrupts nothing, so the poll runs first too. -1 with errno set on
// failure.
int open_interruptibly(const std::string& path, int flags, const InterruptPoll& poll) {
  if (poll) poll();
  int fd;
  while ((fd = ::open(path.c_str(), flags)) < 0 && errno == EINTR) {
    if (poll) poll();
  }
  return fd;
}

// Connects to the Unix stream socket at `path`.
int connect_socket(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) throw WriteError(ENAMETOOLONG);
  std::memcpy(address.sun_path, path.data(), path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw WriteError(errno);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int code = errno;
    ::close(fd);
    throw WriteError(code);
  }
  return fd;
}

}  // namespace

ReadOnlyFile::ReadOnlyFile(const std::string& path, const InterruptPoll& poll, Wait wait) {
  if (path.find('\0') != std::string::npos) {
    throw IoError::custom("InvalidInput", "file name contained an unexpected NUL byte");
  }
  fd_ = open_interruptibly(path, O_RDONLY | O_CLOEXEC | (wait == kNoWait ? O_NONBLOCK : 0), poll);
  if (fd_ < 0) throw IoError::from_os(errno);
}

ReadOnlyFile::~ReadOnlyFile() { ::close(fd_); }

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)) {
  const std::string directory = directory_of(path_);
  std::string name = path_.substr(directory.size());
  // A name near the longest allowed is cut short; the random part keeps it unique.
  const std::size_t room = kLongestName - 1 - kTemporarySuffix.size();
  if (name.size() > room) name.resize(room);
  temporary_path_ = directory + "." + name + std::string(kTemporarySuffix);
  fd_ = ::mkostemps(temporary_path_.data(), 4, O_CLOEXEC);
  if (fd_ < 0) throw WriteError(errno);
  // A file replaced keeps its mode, and its owner and group where this
  // process may give them (as root; or a group it is in): rewriting a
  // private file must not widen who can read it.
  struct stat replaced;
  mode_t mode = 0666 & ~current_umask();
  if (::stat(path_.c_str(), &replaced) == 0 && S_ISREG(replaced.st_mode)) {
    if (::fchown(fd_, replaced.st_uid, replaced.st_gid) != 0) {
      [[maybe_unused]] const int ignored = ::fchown(fd_, static_cast<uid_t>(-1), replaced.st_gid);
    }
    mode = replaced.st_mode & 0777;  // not set-id bits: walks are no program
  }
  if (::fchmod(fd_, mode) != 0) {
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

OutputFile::OutputFile(const std::string& path, const InterruptPoll& poll) {
  const OutputTarget target = resolve_output(path);
  switch (target.kind) {
    case OutputTarget::kReplace: atomic_.emplace(target.path); break;
    case OutputTarget::kDescriptor:
      fd_ = ::fcntl(target.descriptor, F_DUPFD_CLOEXEC, 0);
      if (fd_ < 0) throw WriteError(errno);
      break;
    case OutputTarget::kSpecial:
      // A FIFO's or a device's own node, written straight into (a FIFO's reader awaited).
      fd_ = open_interruptibly(target.path, O_WRONLY | O_CLOEXEC | O_NOCTTY, poll);
      if (fd_ < 0) throw WriteError(errno);
      break;
    case OutputTarget::kSocket: fd_ = connect_socket(target.path); break;
  }
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
}

void OutputFile::commit() {
  if (atomic_) {
    atomic_->commit();
    return;
  }
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && errno != EINTR) throw WriteError(errno);
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
