// Integers stored by someone else (a numpy array, a torch tensor): of any
// width from 1 to 8 bytes, signed or not, in either byte order.
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>

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
  // 1 to 8, in a form that shows the compiler it is never more than 8.
  const unsigned size = ((format.size - 1) & 7) + 1;
  unsigned char bytes[8] = {};
  std::memcpy(bytes, at, size);
  if (format.byte_swapped) {
    for (unsigned low = 0, high = size - 1; low < high; ++low, --high) std::swap(bytes[low], bytes[high]);
  }
  std::uint64_t value = 0;
  std::memcpy(&value, bytes, size);  // little-endian machines: the low bytes
  const bool negative = format.is_signed && (value >> (8 * size - 1)) != 0;
  if (negative && size < 8) value |= ~std::uint64_t{0} << (8 * size);
  return {value, negative};
}

}  // namespace vantrel
