// The failures the core reports. The fixed texts users see (the reader's,
// the generator's, the distribution's) are built in errors.cpp, so that
// they stay exact in one place; snapshot, argument and sampler failures say
// in their own words what is wrong, where they are raised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vantrel {

// Reading the data file failed: it could not be opened or read, its name
// held a NUL byte, or its content was not UTF-8. The message describes the
// error as "called `Result::unwrap()` on an `Err` value: " and a description.
class IoError : public std::runtime_error {
 public:
  // An error reported by the operating system with `code` (an errno value).
  static IoError from_os(int code);
  // An error of the reader's own, with a kind name such as "InvalidData".
  static IoError custom(std::string_view kind, std::string_view text);

  // The errno value for an operating-system error, 0 otherwise.
  int os_code() const { return os_code_; }
  // The kind name: "NotFound", "PermissionDenied", "InvalidData", ...
  const std::string& kind() const { return kind_; }

 private:
  IoError(std::string message, int os_code, std::string kind);
  int os_code_;
  std::string kind_;
};

// The rust-style kind name that an errno value falls under.
std::string_view io_error_kind(int code);

// A line with fewer than three fields. The message is fixed and names no
// line; `line_number` (1-based) is there for the caller's own report.
class ShortLineError : public std::runtime_error {
 public:
  ShortLineError(std::size_t fields, std::size_t missing_index, std::uint64_t line_number);
  // The same failure at another line: a line of a piece, placed in the whole.
  ShortLineError(const ShortLineError& other, std::uint64_t line_number)
      : std::runtime_error(other), fields_(other.fields_), line_number_(line_number) {}
  std::uint64_t line_number() const { return line_number_; }
  // The fields the line has (fewer than three).
  std::size_t fields() const { return fields_; }

 private:
  std::size_t fields_;
  std::uint64_t line_number_;
};

// A line of a triple file read with a time column has no such column, or
// no time in it: the message names the line and says what is wrong.
class TimeColumnError : public std::runtime_error {
 public:
  TimeColumnError(std::uint64_t line_number, const std::string& problem);
  // The same failure at another line: a line of a piece, placed in the whole.
  TimeColumnError(const TimeColumnError& other, std::uint64_t line_number)
      : TimeColumnError(line_number, other.problem_) {}
  std::uint64_t line_number() const { return line_number_; }

 private:
  std::uint64_t line_number_;
  std::string problem_;
};

// A text given as N-Triples or N-Quads is not: the message names the line
// and says what was expected there.
class RdfSyntaxError : public std::runtime_error {
 public:
  RdfSyntaxError(std::uint64_t line_number, const std::string& problem);
  std::uint64_t line_number() const { return line_number_; }

 private:
  std::uint64_t line_number_;
};

// Writing a file failed with the operating system's error `code` (an errno
// value); the message is the system's description.
class WriteError : public std::runtime_error {
 public:
  explicit WriteError(int code);
  int os_code() const { return os_code_; }

 private:
  int os_code_;
};

// A file given as a snapshot is not a valid one: truncated, corrupted,
// hostile, or of another version. The message says what is wrong.
class SnapshotError : public std::runtime_error {
 public:
  explicit SnapshotError(const std::string& problem);
};

// Weights or parameters that biased walks cannot use (weights of a node
// that overflow, or add up to less than the smallest normal number). The
// message names what is wrong and where.
class BiasError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// A bounded draw was asked for an empty range [low, high).
class EmptyRangeError : public std::runtime_error {
 public:
  EmptyRangeError();
};

// The Poisson mean is zero, negative or NaN.
class ShapeTooSmallError : public std::runtime_error {
 public:
  ShapeTooSmallError();
};

// The Poisson mean is so large that the rejection test works on NaN and a
// draw could never finish.
class MeanTooLargeError : public std::runtime_error {
 public:
  explicit MeanTooLargeError(double mean);
};

}  // namespace vantrel
