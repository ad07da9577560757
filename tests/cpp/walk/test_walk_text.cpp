#include "walk/walk_text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vantrel {
namespace {

TEST(AppendEscaped, WhitespaceAndPercentAsUtf8Bytes) {
  const struct {
    std::string text, escaped;
  } cases[] = {
      {"North Sea", "North%20Sea"},
      {"50%", "50%25"},
      {"a\tb\nc\rd\x1F", "a%09b%0Ac%0Dd%1F"},
      {"nb\xC2\xA0sp\xE3\x80\x80", "nb%C2%A0sp%E3%80%80"},
      {"caf\xC3\xA9 \xE2\x80\x8B", "caf\xC3\xA9%20\xE2\x80\x8B"},  // é and the zero-width space stay
      {"", ""},
  };
  for (const auto& c : cases) {
    std::string out = "x";
    append_escaped(c.text, out);
    EXPECT_EQ(out, "x" + c.escaped) << c.text;
  }
}

TEST(AppendJsonString, AsPythonsJsonDumpsWritesIt) {
  const struct {
    std::string text, json;
  } cases[] = {
      {"plain", "\"plain\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"\n\r\t\b\f\x01\x1F", "\"\\n\\r\\t\\b\\f\\u0001\\u001f\""},
      {"caf\xC3\xA9 \x7F", "\"caf\xC3\xA9 \x7F\""},  // not ASCII, and DEL, as they are
  };
  for (const auto& c : cases) {
    std::string out = "x";
    append_json_string(c.text, out);
    EXPECT_EQ(out, "x" + c.json) << c.text;
  }
}

}  // namespace
}  // namespace vantrel
