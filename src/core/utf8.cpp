#include "core/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace vantrel {

std::size_t valid_utf8_prefix(std::string_view bytes) {
  const auto* const begin = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* p = begin;
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
      break;
    }
    if (static_cast<std::size_t>(end - p) < length) break;
    if (p[1] < second_min || p[1] > second_max) break;
    std::size_t i = 2;
    while (i < length && (p[i] & 0xC0) == 0x80) ++i;
    if (i < length) break;
    p += length;
  }
  return static_cast<std::size_t>((p < end ? p : end) - begin);
}

bool is_valid_utf8(std::string_view bytes) { return valid_utf8_prefix(bytes) == bytes.size(); }

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

}  // namespace vantrel
