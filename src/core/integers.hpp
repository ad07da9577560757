// Integers stored by someone else (a numpy array, a torch tensor): of any
// width from 1 to 8 bytes, signed or not, in either byte order.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace vantrel {

// How the integers of a buffer are stored.
struct IntegerFormat {
  unsigned size = 8;  // bytes, 1 to 8
  bool is_signed = false;
  bool byte_swapped = false;  // stored in the other byte order than this machine's
};

// A stored integer, widened to 64 bits.
struct StoredInteger {
  std::uint64_t bits;  // the value, or its 64-bit two's complement when negative
  bool negative;
};

// The integer stored at `at` in `format`.
inline StoredInteger read_integer(const char* at, const IntegerFormat& format) {
  unsigned char bytes[8] = {};
  std::memcpy(bytes, at, format.size);
  if (format.byte_swapped) std::reverse(bytes, bytes + format.size);
  std::uint64_t value = 0;
  std::memcpy(&value, bytes, format.size);  // little-endian machines: the low bytes
  const bool negative = format.is_signed && (value >> (8 * format.size - 1)) != 0;
  if (negative && format.size < 8) value |= ~std::uint64_t{0} << (8 * format.size);
  return {value, negative};
}

}  // namespace vantrel
