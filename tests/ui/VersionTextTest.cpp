#include <gtest/gtest.h>

#include <tuple>

#include "session/Frame.h"
#include "ui/LinkProbes.h"
#include "ui/VersionText.h"

namespace {

TEST(CompareVersions, OrdersDottedPartsByNumber) {
  const std::tuple<const char*, const char*, int> cases[] = {
      {"2.10", "2.9", 1},      {"V2.10", "2.9", 1},  {"V1.20", "V1.20", 0}, {"1.2", "1.2.0", 0},
      {"1.2", "1.2.1", -1},    {"01.5", "1.5", 0},   {"1.10a", "1.10b", -1}, {"1.x", "1.9", 1},
      {"99999999999999999999.1", "99999999999999999998.9", 1},
  };
  for (auto [a, b, order] : cases) {
    EXPECT_EQ(compareVersions(a, b), order) << a << " vs " << b;
    EXPECT_EQ(compareVersions(b, a), -order) << b << " vs " << a;
  }
  EXPECT_FALSE(isNewerVersion("", "1.0"));
}

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
