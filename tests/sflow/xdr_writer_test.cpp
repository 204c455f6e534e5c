// The encoder's writer: byte order, zero padding over old bytes, and a bound that holds in
// every build.
#include "xdr_writer.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace wendrel {
namespace {

TEST(XdrWriter, WritesBigEndianWordsAndZeroPadsOpaqueBytes) {
  std::array<uint8_t, 16> buffer;
  buffer.fill(0xee);
  XdrWriter out(buffer.data(), buffer.size(), 2);
  out.u32(0x0a000005);
  const uint8_t payload[5] = {1, 2, 3, 4, 5};
  out.bytes(payload, sizeof payload);
  EXPECT_EQ(14u, out.offset());
  const std::array<uint8_t, 16> expected = {0xee, 0xee, 0x0a, 0x00, 0x00, 0x05, 1,    2,
                                            3,    4,    5,    0,    0,    0,    0xee, 0xee};
  EXPECT_EQ(expected, buffer);
}

TEST(XdrWriterDeathTest, WritingPastTheEndStopsTheProcess) {
  std::array<uint8_t, 8> buffer{};
  const uint8_t payload[5] = {};
  EXPECT_DEATH(
      {
        XdrWriter out(buffer.data(), buffer.size(), 4);
        out.bytes(payload, sizeof payload);  // pads to 8, only 4 left
      },
      "exceed the 8-byte buffer");
  EXPECT_DEATH(
      {
        XdrWriter out(buffer.data(), buffer.size(), 8);
        out.u32(1);
      },
      "exceed");
}

}  // namespace
}  // namespace wendrel
