#include "read/format_hint.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vantrel {
namespace {

TEST(FormatHint, CompressionMagicNumbers) {
  EXPECT_EQ(format_hint(std::string("\x1f\x8b\x08\x00", 4)), "gzip");
  EXPECT_EQ(format_hint("BZh91AY&SY"), "bzip2");
  EXPECT_EQ(format_hint(std::string("\xfd"
                                    "7zXZ\0\0",
                                    7)),
            "xz");
  EXPECT_EQ(format_hint(std::string("\x28\xb5\x2f\xfd\x04", 5)), "zstd");
  EXPECT_EQ(format_hint(std::string("\x1f", 1)), "");  // half a magic number
}

TEST(FormatHint, NTriplesFromItsFirstStatement) {
  EXPECT_EQ(format_hint("<http://x/s> <http://x/p> <http://x/o> .\n"), "N-Triples");
  EXPECT_EQ(format_hint("# a dump\n\n  _:b <http://x/p> \"v\"@en .  \r\nrest"), "N-Triples");
  EXPECT_EQ(format_hint("<a:s> <a:p> <a:o> .\n"), "N-Triples");
  // Not N-Triples: tab-separated, no final " .", cut off, a comment after it, or nothing.
  EXPECT_EQ(format_hint("<a:s>\t<a:p>\t<a:o> .\n"), "");
  EXPECT_EQ(format_hint("<a:s> <a:p> <a:o>\n"), "");
  EXPECT_EQ(format_hint("<a:s> <a:p> <a:o> ."), "");
  EXPECT_EQ(format_hint("<a:s> <a:p> <a:o> . # note\n"), "");
  EXPECT_EQ(format_hint("head\trelation\ttail\n"), "");
  EXPECT_EQ(format_hint("# only a comment\n"), "");
  EXPECT_EQ(format_hint(""), "");
}

}  // namespace
}  // namespace vantrel
