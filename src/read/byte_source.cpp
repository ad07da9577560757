#include "read/byte_source.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/errors.hpp"

namespace vantrel {

FileSource::FileSource(const std::string& path, const InterruptPoll& poll) : file_(path, poll) {
  struct stat status;
  if (::fstat(file_.fd(), &status) == 0 && S_ISREG(status.st_mode)) {
    size_bound_ = static_cast<std::uint64_t>(status.st_size);
  }
}

std::size_t FileSource::read(char* buffer, std::size_t capacity, const InterruptPoll& poll) {
  for (;;) {
    const ssize_t got = ::read(file_.fd(), buffer, capacity);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) throw IoError::from_os(errno);
    if (poll) poll();
  }
}

std::size_t MemorySource::read(char* buffer, std::size_t capacity, const InterruptPoll&) {
  const std::size_t count = capacity < text_.size() ? capacity : text_.size();
  std::memcpy(buffer, text_.data(), count);
  text_.remove_prefix(count);
  return count;
}

}  // namespace vantrel
