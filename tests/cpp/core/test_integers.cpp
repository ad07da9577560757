#include "core/integers.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace vantrel {
namespace {

struct IntegerCase {
  std::vector<unsigned char> bytes;  // as stored, in memory order
  IntegerFormat format;
  std::uint64_t bits;
  bool negative;
};

class ReadInteger : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(ReadInteger, WidensEveryWidthSignAndByteOrder) {
  const IntegerCase& c = GetParam();
  const StoredInteger value = read_integer(reinterpret_cast<const char*>(c.bytes.data()), c.format);
  EXPECT_EQ(value.bits, c.bits);
  EXPECT_EQ(value.negative, c.negative);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadInteger,
    ::testing::Values(IntegerCase{{0xFF}, {1, false, false}, 255, false},
                      IntegerCase{{0xFF}, {1, true, false}, UINT64_MAX, true},  // -1
                      IntegerCase{{0x7F}, {1, true, false}, 127, false},
                      IntegerCase{{0x34, 0x12}, {2, false, false}, 0x1234, false},
                      IntegerCase{{0x12, 0x34}, {2, false, true}, 0x1234, false},                 // stored big-endian
                      IntegerCase{{0x00, 0x80}, {2, true, false}, ~std::uint64_t{0x7FFF}, true},  // -32768
                      IntegerCase{{0x80, 0x00}, {2, true, true}, ~std::uint64_t{0x7FFF}, true},
                      IntegerCase{{1, 2, 3}, {3, false, false}, 0x030201, false},
                      IntegerCase{{0xFF, 0xFF, 0xFF, 0x7F}, {4, true, false}, 0x7FFFFFFF, false},
                      IntegerCase{{0xFE, 0xFF, 0xFF, 0xFF}, {4, true, false}, UINT64_MAX - 1, true},  // -2
                      IntegerCase{{0xFF, 0xFF, 0xFF, 0xFF}, {4, false, false}, 0xFFFFFFFF, false},
                      IntegerCase{{1, 0, 0, 0, 0, 0, 0, 0x80}, {8, false, false}, 0x8000000000000001, false},
                      IntegerCase{{1, 0, 0, 0, 0, 0, 0, 0x80}, {8, true, false}, 0x8000000000000001, true},
                      IntegerCase{{0x80, 0, 0, 0, 0, 0, 0, 1}, {8, true, true}, 0x8000000000000001, true}));

}  // namespace
}  // namespace vantrel
