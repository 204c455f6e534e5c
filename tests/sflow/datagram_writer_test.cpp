// The writer does not trust its caller: a sample that does not fit stops the process, in every
// build.
#include "datagram_writer.h"

#include <gtest/gtest.h>

namespace wendrel {
namespace {

TEST(DatagramWriterDeathTest, AppendingPastTheLimitStopsTheProcess) {
  const uint8_t frame[128] = {};
  FlowSample sample;
  sample.header = frame;
  sample.headerLength = 128;
  DatagramWriter writer;
  for (int i = 0; i < 6; ++i)
    writer.append(sample);
  EXPECT_FALSE(writer.fits(DatagramWriter::encodedSize(sample)));
  EXPECT_DEATH(writer.append(sample), "exceed the 1300-byte buffer");
}

}  // namespace
}  // namespace wendrel
