#include <gtest/gtest.h>

#include "session/Frame.h"
#include "ui/LinkProbes.h"
#include "ui/VersionText.h"

namespace {

TEST(CompareVersions, OrdersDottedPartsByNumber) {
  struct Case {
    const char* a;
    const char* b;
    int order;
  };
  const Case cases[] = {
      {"2.10", "2.9", 1},      {"V2.10", "2.9", 1},  {"V1.20", "V1.20", 0}, {"1.2", "1.2.0", 0},
      {"1.2", "1.2.1", -1},    {"01.5", "1.5", 0},   {"1.10a", "1.10b", -1}, {"1.x", "1.9", 1},
      {"99999999999999999999.1", "99999999999999999998.9", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(compareVersions(c.a, c.b), c.order) << c.a << " vs " << c.b;
    EXPECT_EQ(compareVersions(c.b, c.a), -c.order) << c.b << " vs " << c.a;
  }
  EXPECT_FALSE(isNewerVersion("", "1.0"));
}

TEST(ParseSupplyVoltage, NeedsTheWholeFrame) {
  struct Case {
    size_t dataBytes;  // after command and sub-command
    bool read;
  };
  // Bytes 19..21 of the frame are data bytes 10..12; the checksum makes 23.
  for (const Case& c : {Case{12, false}, Case{13, true}, Case{40, true}}) {
    std::vector<uint8_t> data(c.dataBytes, 0);
    if (c.dataBytes >= 13) {
      data[10] = 0x00;
      data[11] = 0x30;
      data[12] = 0x39;
    }
    Frame reply;
    ASSERT_TRUE(reply.build(0xF8, 0xF0, 0x80, 0x04, data.data(), static_cast<unsigned>(data.size())));
    std::optional<float> volts = parseSupplyVoltage(reply);
    ASSERT_EQ(volts.has_value(), c.read) << c.dataBytes;
    if (volts) {
      EXPECT_FLOAT_EQ(*volts, 12.345f);
    }
  }
}

}  // namespace
