#include "core/utf8.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vantrel {
namespace {

struct Utf8Case {
  const char* name;
  std::string bytes;
  bool valid;
};

class Utf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8, StrictValidation) {
  EXPECT_EQ(is_valid_utf8(GetParam().bytes), GetParam().valid);
  // The same bytes after a long ASCII run take the fast path first.
  EXPECT_EQ(is_valid_utf8(std::string(37, 'x') + GetParam().bytes + "tail"), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
    Classes, Utf8,
    ::testing::Values(Utf8Case{"Ascii", "plain", true}, Utf8Case{"TwoByte", "\xC3\xA9", true},
                      Utf8Case{"ThreeByte", "\xE2\x82\xAC", true}, Utf8Case{"FourByte", "\xF0\x9F\x98\x80", true},
                      Utf8Case{"MaxCodePoint", "\xF4\x8F\xBF\xBF", true}, Utf8Case{"Nul", std::string(1, '\0'), true},
                      Utf8Case{"LastBeforeSurrogates", "\xED\x9F\xBF", true},
                      Utf8Case{"OverlongTwo", "\xC0\xAF", false}, Utf8Case{"OverlongC1", "\xC1\xBF", false},
                      Utf8Case{"OverlongThree", "\xE0\x80\xAF", false},
                      Utf8Case{"OverlongFour", "\xF0\x80\x80\xAF", false}, Utf8Case{"Surrogate", "\xED\xA0\x80", false},
                      Utf8Case{"AboveMax", "\xF4\x90\x80\x80", false}, Utf8Case{"F5Lead", "\xF5\x80\x80\x80", false},
                      Utf8Case{"FFByte", "\xFF", false}, Utf8Case{"LoneContinuation", "\x80", false},
                      Utf8Case{"TruncatedTwo", "\xC3", false}, Utf8Case{"TruncatedFour", "\xF0\x9F\x98", false},
                      Utf8Case{"BadContinuation", "\xE2\x28\xA1", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Ascii, EveryByteBelow0x80) {
  EXPECT_TRUE(is_ascii(""));
  EXPECT_TRUE(is_ascii(std::string("tab\tand\x7F")));
  EXPECT_FALSE(is_ascii("caf\xC3\xA9"));
  EXPECT_FALSE(is_ascii(std::string(40, 'a') + "\x80"));
}

}  // namespace
}  // namespace vantrel
