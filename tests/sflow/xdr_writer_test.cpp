// The writer's bounds check holds in every build: writing past the end stops the process.
#include "xdr_writer.h"

#include <gtest/gtest.h>

#include <array>

namespace wendrel {
namespace {

TEST(XdrWriterDeathTest, WritingPastTheEndStopsTheProcess) {
  std::array<uint8_t, 8> buffer{};
  const uint8_t payload[5] = {};
  XdrWriter out(buffer.data(), buffer.size(), 4);
  EXPECT_DEATH(out.bytes(payload, sizeof payload), "exceed the 8-byte buffer");  // pads to 8
}

}  // namespace
}  // namespace wendrel
