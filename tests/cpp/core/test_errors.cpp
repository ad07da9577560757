#include "core/errors.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace vantrel {
namespace {

TEST(IoErrorKind, ErrnoNames) {
  EXPECT_EQ(io_error_kind(ENOENT), "NotFound");
  EXPECT_EQ(io_error_kind(EACCES), "PermissionDenied");
  EXPECT_EQ(io_error_kind(EPERM), "PermissionDenied");
  EXPECT_EQ(io_error_kind(EISDIR), "IsADirectory");
  EXPECT_EQ(io_error_kind(ENOTDIR), "NotADirectory");
  EXPECT_EQ(io_error_kind(ENAMETOOLONG), "InvalidFilename");
  EXPECT_EQ(io_error_kind(ELOOP), "FilesystemLoop");
  EXPECT_EQ(io_error_kind(EIO), "Uncategorized");
}

TEST(Messages, TheReadersAndTheDrawsFixedTexts) {
  EXPECT_STREQ(IoError::from_os(ENOENT).what(),
               "called `Result::unwrap()` on an `Err` value: Os { code: 2, kind: NotFound, message: \"No such file or "
               "directory\" }");
  EXPECT_STREQ(IoError::custom("InvalidData", "stream did not contain valid UTF-8").what(),
               "called `Result::unwrap()` on an `Err` value: Custom { kind: InvalidData, error: \"stream did not "
               "contain valid UTF-8\" }");
  EXPECT_STREQ(ShortLineError(1, 1, 17).what(), "index out of bounds: the len is 1 but the index is 1");
  EXPECT_EQ(ShortLineError(2, 2, 17).line_number(), 17u);
  EXPECT_STREQ(EmptyRangeError().what(), "UniformSampler::sample_single: low >= high");
  EXPECT_STREQ(ShapeTooSmallError().what(), "called `Result::unwrap()` on an `Err` value: ShapeTooSmall");
}

}  // namespace
}  // namespace vantrel
