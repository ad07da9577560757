#include "read/scan.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace vantrel {
namespace {

using FindSeparator = const char* (*)(const char*, const char*);
using CountNewlines = std::uint64_t (*)(const char*, const char*);

// Every version of each kernel that this target builds.
std::vector<std::pair<const char*, FindSeparator>> separator_kernels() {
  return {
      {"portable", scan::find_separator_portable},
#if defined(VANTREL_SCAN_SSE2)
      {"sse2", scan::find_separator_sse2},
#endif
#if defined(VANTREL_SCAN_NEON)
      {"neon", scan::find_separator_neon},
#endif
  };
}

std::vector<std::pair<const char*, CountNewlines>> newline_kernels() {
  return {
      {"portable", scan::count_newlines_portable},
#if defined(VANTREL_SCAN_SSE2)
      {"sse2", scan::count_newlines_sse2},
#endif
  };
}

// Every start and end offset of random text with separators and high bytes
// (0x89 and 0x8A differ from tab and line feed in the top bit only).
TEST(Scan, EveryKernelAgreesWithAPlainLoop) {
  std::mt19937 gen(11);
  const char alphabet[] = {'a', '\t', '\n', '\r', '\x89', '\x8A', '\0', '\x09' ^ 0x40};
  for (int round = 0; round < 40; ++round) {
    std::string text(static_cast<std::size_t>(gen() % 300), 'x');
    const unsigned sparsity = 1 + gen() % 60;
    for (char& c : text) c = gen() % sparsity == 0 ? alphabet[1 + gen() % 2] : alphabet[gen() % 8];
    const char* const base = text.data();
    for (std::size_t begin = 0; begin <= text.size(); begin += 1 + gen() % 5) {
      for (std::size_t end = begin; end <= text.size(); end += 1 + gen() % 23) {
        const char* const expected_separator =
            std::find_if(base + begin, base + end, [](char c) { return c == '\t' || c == '\n'; });
        const auto expected_newlines = static_cast<std::uint64_t>(std::count(base + begin, base + end, '\n'));
        for (const auto& [name, find] : separator_kernels()) {
          ASSERT_EQ(find(base + begin, base + end), expected_separator) << name << " " << begin << " " << end;
        }
        for (const auto& [name, count] : newline_kernels()) {
          ASSERT_EQ(count(base + begin, base + end), expected_newlines) << name << " " << begin << " " << end;
        }
      }
    }
  }
}

TEST(Scan, NewlineCountPastTheVectorCountersLimit) {
  // More than 255 sixteen-byte blocks of line feeds: a byte counter would wrap.
  const std::string text(16 * 300 + 7, '\n');
  for (const auto& [name, count] : newline_kernels()) {
    EXPECT_EQ(count(text.data(), text.data() + text.size()), text.size()) << name;
  }
}

}  // namespace
}  // namespace vantrel
