#include <gtest/gtest.h>

#include "session/Frame.h"
#include "viewmodel/LinkProbes.h"

namespace {

TEST(ParseSupplyVoltage, NeedsTheWholeFrame) {
  // Bytes 19..21 of the frame are data bytes 10..12 (after command and
  // sub-command); the checksum makes 23.
  for (size_t dataBytes : {12, 13, 40}) {
    std::vector<uint8_t> data(dataBytes, 0);
    if (dataBytes >= 13) {
      data[10] = 0x00;
      data[11] = 0x30;
      data[12] = 0x39;
    }
    Frame reply;
    ASSERT_TRUE(reply.build(0xF8, 0xF0, 0x80, 0x04, data.data(), static_cast<unsigned>(data.size())));
    std::optional<float> volts = parseSupplyVoltage(reply);
    ASSERT_EQ(volts.has_value(), dataBytes >= 13) << dataBytes;
    if (volts) {
      EXPECT_FLOAT_EQ(*volts, 12.345f);
    }
  }
}

}  // namespace
