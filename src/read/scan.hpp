// Byte-scanning kernels of the triple reader: finding the next field or line
// separator, and counting line feeds. Each kernel has a portable version
// that any compiler builds and a vector version where the target has one
// (SSE2 on x86-64, NEON on AArch64), chosen at compile time; all versions
// give the same results. Included by the reader's implementation and its
// tests only, so that no other unit sees a vector intrinsic.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#define VANTREL_SCAN_SSE2 1
#elif defined(__ARM_NEON) && defined(__aarch64__)
#include <arm_neon.h>
#define VANTREL_SCAN_NEON 1
#endif

namespace vantrel::scan {

static_assert(std::endian::native == std::endian::little,
              "the word-at-a-time scanners read the first byte from the low end");

inline constexpr std::uint64_t kLowBits = 0x7F7F7F7F7F7F7F7Full;
inline constexpr std::uint64_t kOnes = 0x0101010101010101ull;

// 0x80 in each byte of `word` that is zero and 0 in every other byte; exact,
// with no false hits from borrows.
inline std::uint64_t zero_bytes(std::uint64_t word) { return ~(((word & kLowBits) + kLowBits) | word | kLowBits); }

inline std::uint64_t load_word(const char* at) {
  std::uint64_t word;
  std::memcpy(&word, at, 8);
  return word;
}

// The first tab or line feed in [begin, end), or end; eight bytes at a time.
inline const char* find_separator_portable(const char* begin, const char* end) {
  for (; end - begin >= 8; begin += 8) {
    const std::uint64_t word = load_word(begin);
    const std::uint64_t hits = zero_bytes(word ^ (kOnes * '\t')) | zero_bytes(word ^ (kOnes * '\n'));
    if (hits != 0) return begin + std::countr_zero(hits) / 8;
  }
  for (; begin < end; ++begin) {
    if (*begin == '\t' || *begin == '\n') return begin;
  }
  return end;
}

// The number of line feeds in [begin, end); eight bytes at a time.
inline std::uint64_t count_newlines_portable(const char* begin, const char* end) {
  std::uint64_t count = 0;
  for (; end - begin >= 8; begin += 8) {
    count += static_cast<std::uint64_t>(std::popcount(zero_bytes(load_word(begin) ^ (kOnes * '\n'))));
  }
  for (; begin < end; ++begin) count += *begin == '\n';
  return count;
}

#if defined(VANTREL_SCAN_SSE2)
// find_separator_portable, sixteen bytes at a time.
inline const char* find_separator_sse2(const char* begin, const char* end) {
  const __m128i tab = _mm_set1_epi8('\t');
  const __m128i newline = _mm_set1_epi8('\n');
  for (; end - begin >= 16; begin += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(begin));
    const int hits = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, tab), _mm_cmpeq_epi8(bytes, newline)));
    if (hits != 0) return begin + std::countr_zero(static_cast<unsigned>(hits));
  }
  return find_separator_portable(begin, end);
}

// count_newlines_portable, sixteen bytes at a time.
inline std::uint64_t count_newlines_sse2(const char* begin, const char* end) {
  const __m128i newline = _mm_set1_epi8('\n');
  std::uint64_t count = 0;
  while (end - begin >= 16) {
    // Per-byte counters (0 - (-1) per match) for at most 255 blocks, then summed.
    __m128i counts = _mm_setzero_si128();
    for (int block = 0; block < 255 && end - begin >= 16; ++block, begin += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(begin));
      counts = _mm_sub_epi8(counts, _mm_cmpeq_epi8(bytes, newline));
    }
    const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
    count += static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
             static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
  }
  return count + count_newlines_portable(begin, end);
}
#endif

#if defined(VANTREL_SCAN_NEON)
// find_separator_portable, sixteen bytes at a time. NEON has no byte mask
// move: narrowing each 16-bit lane by 4 bits leaves a nibble per byte.
inline const char* find_separator_neon(const char* begin, const char* end) {
  const uint8x16_t tab = vdupq_n_u8('\t');
  const uint8x16_t newline = vdupq_n_u8('\n');
  for (; end - begin >= 16; begin += 16) {
    const uint8x16_t bytes = vld1q_u8(reinterpret_cast<const std::uint8_t*>(begin));
    const uint8x16_t matches = vorrq_u8(vceqq_u8(bytes, tab), vceqq_u8(bytes, newline));
    const std::uint64_t nibbles = vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(matches), 4)), 0);
    if (nibbles != 0) return begin + std::countr_zero(nibbles) / 4;
  }
  return find_separator_portable(begin, end);
}
#endif

// The kernels this build uses.
inline const char* find_separator(const char* begin, const char* end) {
#if defined(VANTREL_SCAN_SSE2)
  return find_separator_sse2(begin, end);
#elif defined(VANTREL_SCAN_NEON)
  return find_separator_neon(begin, end);
#else
  return find_separator_portable(begin, end);
#endif
}

inline std::uint64_t count_newlines(const char* begin, const char* end) {
#if defined(VANTREL_SCAN_SSE2)
  return count_newlines_sse2(begin, end);
#else
  return count_newlines_portable(begin, end);
#endif
}

}  // namespace vantrel::scan
