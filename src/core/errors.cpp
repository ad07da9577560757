#include "core/errors.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vantrel {

namespace {

constexpr std::string_view kUnwrapPrefix = "called `Result::unwrap()` on an `Err` value: ";

std::string system_message(int code) {
  char buffer[256];
  // GNU strerror_r returns the message, which may or may not live in `buffer`.
  const char* message = strerror_r(code, buffer, sizeof buffer);
  return message;
}

std::string too_large_message(double mean) {
  char number[64];
  std::snprintf(number, sizeof number, "%.17g", mean);
  return std::string("mean_path_len is too large: ") + number +
         " (the walk length could never be drawn; means from about 2.5563e305 up are refused)";
}

}  // namespace

IoError::IoError(std::string message, int os_code, std::string kind)
    : std::runtime_error(std::move(message)), os_code_(os_code), kind_(std::move(kind)) {}

IoError IoError::from_os(int code) {
  const std::string kind(io_error_kind(code));
  std::string message(kUnwrapPrefix);
  message += "Os { code: " + std::to_string(code) + ", kind: " + kind + ", message: \"" + system_message(code) + "\" }";
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

std::string_view io_error_kind(int code) {
  switch (code) {
    case E2BIG: return "ArgumentListTooLong";
    case EACCES:
    case EPERM: return "PermissionDenied";
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

ShortLineError::ShortLineError(std::size_t fields, std::size_t missing_index, std::uint64_t line_number)
    : std::runtime_error("index out of bounds: the len is " + std::to_string(fields) + " but the index is " +
                         std::to_string(missing_index)),
      fields_(fields),
      line_number_(line_number) {}

WriteError::WriteError(int code) : std::runtime_error(system_message(code)), os_code_(code) {}

RdfSyntaxError::RdfSyntaxError(std::uint64_t line_number, const std::string& problem)
    : std::runtime_error("line " + std::to_string(line_number) + ": " + problem), line_number_(line_number) {}

TimeColumnError::TimeColumnError(std::uint64_t line_number, const std::string& problem)
    : std::runtime_error("line " + std::to_string(line_number) + ": " + problem),
      line_number_(line_number),
      problem_(problem) {}

SnapshotError::SnapshotError(const std::string& problem) : std::runtime_error("invalid snapshot: " + problem) {}

EmptyRangeError::EmptyRangeError() : std::runtime_error("UniformSampler::sample_single: low >= high") {}

ShapeTooSmallError::ShapeTooSmallError()
    : std::runtime_error("called `Result::unwrap()` on an `Err` value: ShapeTooSmall") {}

MeanTooLargeError::MeanTooLargeError(double mean) : std::runtime_error(too_large_message(mean)) {}

}  // namespace vantrel
