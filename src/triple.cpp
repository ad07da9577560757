#include "triple.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel {

namespace {

constexpr std::string_view kUnwrapPrefix = "called `Result::unwrap()` on an `Err` value: ";

std::string system_message(int code) {
  char buffer[256];
  // GNU strerror_r returns the message, which may or may not live in `buffer`.
  const char* message = strerror_r(code, buffer, sizeof buffer);
  return message;
}

// Closes the descriptor when reading is done, whichever way it ends.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

IoError::IoError(std::string message, int os_code, std::string kind)
    : std::runtime_error(std::move(message)), os_code_(os_code), kind_(std::move(kind)) {}

IoError IoError::from_os(int code) {
  const std::string kind(io_error_kind(code));
  std::string message(kUnwrapPrefix);
  message += "Os { code: " + std::to_string(code) + ", kind: " + kind + ", message: \"" +
             system_message(code) + "\" }";
  return IoError(std::move(message), code, kind);
}

IoError IoError::custom(std::string_view kind, std::string_view text) {
  std::string message(kUnwrapPrefix);
  message += "Custom { kind: ";
  message += kind;
  message += ", error: \"";
  message += text;
  message += "\" }";
  return IoError(std::move(message), 0, std::string(kind));
}

ShortLineError::ShortLineError(std::size_t fields, std::size_t missing_index, std::uint64_t line_number)
    : std::runtime_error("index out of bounds: the len is " + std::to_string(fields) +
                         " but the index is " + std::to_string(missing_index)),
      line_number_(line_number) {}

std::string_view io_error_kind(int code) {
  switch (code) {
    case E2BIG: return "ArgumentListTooLong";
    case EACCES: case EPERM: return "PermissionDenied";
    case EADDRINUSE: return "AddrInUse";
    case EADDRNOTAVAIL: return "AddrNotAvailable";
    case EBUSY: return "ResourceBusy";
    case ECONNABORTED: return "ConnectionAborted";
    case ECONNREFUSED: return "ConnectionRefused";
    case ECONNRESET: return "ConnectionReset";
    case EDEADLK: return "Deadlock";
    case EDQUOT: return "FilesystemQuotaExceeded";
    case EEXIST: return "AlreadyExists";
    case EFBIG: return "FileTooLarge";
    case EHOSTUNREACH: return "HostUnreachable";
    case EINTR: return "Interrupted";
    case EINVAL: return "InvalidInput";
    case EISDIR: return "IsADirectory";
    case ELOOP: return "FilesystemLoop";
    case ENOENT: return "NotFound";
    case ENOMEM: return "OutOfMemory";
    case ENOSPC: return "StorageFull";
    case ENOSYS: return "Unsupported";
    case EMLINK: return "TooManyLinks";
    case ENAMETOOLONG: return "InvalidFilename";
    case ENETDOWN: return "NetworkDown";
    case ENETUNREACH: return "NetworkUnreachable";
    case ENOTCONN: return "NotConnected";
    case ENOTDIR: return "NotADirectory";
    case ENOTEMPTY: return "DirectoryNotEmpty";
    case EPIPE: return "BrokenPipe";
    case EROFS: return "ReadOnlyFilesystem";
    case ESPIPE: return "NotSeekable";
    case ESTALE: return "StaleNetworkFileHandle";
    case ETIMEDOUT: return "TimedOut";
    case ETXTBSY: return "ExecutableFileBusy";
    case EXDEV: return "CrossesDevices";
    case EAGAIN: return "WouldBlock";
    default: return "Uncategorized";
  }
}

bool is_ascii(std::string_view text) {
  const char* p = text.data();
  std::size_t n = text.size();
  std::uint64_t high_bits = 0;
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    high_bits |= word;
  }
  for (; n > 0; ++p, --n) high_bits |= static_cast<unsigned char>(*p);
  return (high_bits & 0x8080808080808080ull) == 0;
}

bool is_valid_utf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* const end = p + bytes.size();
  while (p < end) {
    // Skip runs of ASCII sixteen bytes at a time; labels are mostly ASCII.
    while (end - p >= 16) {
      std::uint64_t a;
      std::uint64_t b;
      std::memcpy(&a, p, 8);
      std::memcpy(&b, p + 8, 8);
      if (((a | b) & 0x8080808080808080ull) != 0) break;
      p += 16;
    }
    if (p >= end) break;
    const unsigned char lead = *p;
    if (lead < 0x80) {
      ++p;
      continue;
    }
    std::size_t length;
    unsigned char second_min = 0x80;
    unsigned char second_max = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) second_min = 0xA0;  // overlong
      if (lead == 0xED) second_max = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) second_min = 0x90;  // overlong
      if (lead == 0xF4) second_max = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < length) return false;
    if (p[1] < second_min || p[1] > second_max) return false;
    for (std::size_t i = 2; i < length; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
    }
    p += length;
  }
  return true;
}

FileContent read_text_file(const std::string& path, const InterruptPoll& poll) {
  if (path.find('\0') != std::string::npos) {
    throw IoError::custom("InvalidInput", "file name contained an unexpected NUL byte");
  }
  // Opening a FIFO blocks until a writer comes; a signal ends the wait with
  // EINTR, and the poll decides whether to give up.
  int fd;
  while ((fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
    if (errno != EINTR) throw IoError::from_os(errno);
    if (poll) poll();
  }
  const FileDescriptor file(fd);

  struct stat status;
  std::size_t capacity = 0;
  if (::fstat(file.get(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
    capacity = static_cast<std::size_t>(status.st_size);
  }
  // One byte beyond the expected size, so that reaching the end of a file
  // that did not grow costs no second buffer.
  capacity += 1;
  if (capacity < 4096) capacity = 4096;
  auto buffer = std::make_unique_for_overwrite<char[]>(capacity);
  std::size_t size = 0;
  for (;;) {
    if (size == capacity) {
      const std::size_t grown = capacity * 2;
      auto larger = std::make_unique_for_overwrite<char[]>(grown);
      std::memcpy(larger.get(), buffer.get(), size);
      buffer = std::move(larger);
      capacity = grown;
    }
    const ssize_t got = ::read(file.get(), buffer.get() + size, capacity - size);
    if (got < 0) {
      if (errno != EINTR) throw IoError::from_os(errno);
      if (poll) poll();
      continue;
    }
    if (got == 0) break;
    size += static_cast<std::size_t>(got);
  }
  if (!is_valid_utf8(std::string_view(buffer.get(), size))) {
    throw IoError::custom("InvalidData", "stream did not contain valid UTF-8");
  }
  return FileContent(std::move(buffer), size);
}

std::uint64_t count_lines(std::string_view content) {
  const char* p = content.data();
  const char* const end = p + content.size();
  const __m128i newline = _mm_set1_epi8('\n');
  std::uint64_t newlines = 0;
  while (end - p >= 16) {
    // Per-byte counters (0 - (-1) per match) for at most 255 blocks, then summed.
    __m128i counts = _mm_setzero_si128();
    for (int block = 0; block < 255 && end - p >= 16; ++block, p += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      counts = _mm_sub_epi8(counts, _mm_cmpeq_epi8(bytes, newline));
    }
    const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
    newlines += static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
                static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
  }
  for (; p < end; ++p) newlines += *p == '\n';
  const bool open_last_line = !content.empty() && content.back() != '\n';
  return newlines + (open_last_line ? 1 : 0);
}

std::vector<Triple> read_triples(std::string_view content, TripleOrder order) {
  std::vector<Triple> triples;
  triples.reserve(count_lines(content));
  for_each_triple(content, order, [&](std::string_view head, std::string_view relation, std::string_view tail) {
    triples.emplace_back(head, relation, tail);
  });
  return triples;
}

}  // namespace vantrel
