#include "read/time_text.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>

namespace vantrel {
namespace {

TEST(TimeText, WholeTimesAreIntegersAndDates) {
  const struct {
    std::string_view text;
    std::int64_t seconds;
  } cases[] = {
      {"0", 0},
      {"-5", -5},
      {"+7", 7},
      {"-0", 0},
      {"007", 7},
      {"999999999999999999", 999999999999999999},
      {"-99999999999999999", -99999999999999999},
      {"1234567890123456789", 1234567890123456789},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"1970-01-01", 0},
      {"2018-01-01", 1514764800},
      {"2000-02-29", 951782400},
      {"1969-12-31", -86400},
      {"0000-01-01", -62167219200},
      {"1970-01-01T00:00:00Z", 0},
      {"1970-01-01T01:00+01:00", 0},
      {"1970-01-01T00:00-00:30", 1800},
      {"2018-06-30T23:59:59", 1530403199},
  };
  for (const auto& [text, seconds] : cases) {
    const auto time = parse_time(text);
    ASSERT_TRUE(time) << text;
    EXPECT_TRUE(time->is_whole) << text;
    EXPECT_EQ(time->whole, seconds) << text;
  }
}

TEST(TimeText, DecimalNumbersAreReal) {
  const struct {
    std::string_view text;
    double value;
  } cases[] = {{"1.5", 1.5}, {"-2e3", -2000.0}, {".5", 0.5}, {"+3.", 3.0}, {"1E-2", 0.01}};
  for (const auto& [text, value] : cases) {
    const auto time = parse_time(text);
    ASSERT_TRUE(time) << text;
    EXPECT_FALSE(time->is_whole) << text;
    EXPECT_EQ(time->real, value) << text;
  }
}

TEST(TimeText, WhatIsNoTimeIsRefused) {
  for (const std::string_view text : {"",
                                      "-",
                                      "+",
                                      ".",
                                      "e5",
                                      "1e",
                                      "1e+",
                                      "nan",
                                      "inf",
                                      "-inf",
                                      "0x10",
                                      "1e999",
                                      "9223372036854775808",
                                      "-9223372036854775809",
                                      "12:00",
                                      "2018-1-01",
                                      "2018-13-01",
                                      "2001-02-29",
                                      "2018-04-31",
                                      "2018-00-10",
                                      "2018-01-01T24:00",
                                      "2018-01-01T10:60",
                                      "2018-01-01T10:00:60",
                                      "2018-01-01 10:00",
                                      "2018-01-01T10",
                                      "2018-01-01T10:00Zx",
                                      "2018-01-01T10:00+1:00",
                                      "2018-01-01T10:00.5",
                                      "1 000",
                                      "1.5.2",
                                      "2018-01-01x"}) {
    EXPECT_FALSE(parse_time(text)) << text;
  }
}

}  // namespace
}  // namespace vantrel
