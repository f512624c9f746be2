#include <gtest/gtest.h>

#include "platform/BluetoothRfcomm.h"

namespace {

TEST(BluetoothAddress, Parse_hexTextWithOrWithoutPrefix) {
  struct Case {
    const char* text;
    bool ok;
    uint64_t value;
  } cases[] = {
      {"0x1a7dda7112", true, 0x1A7DDA7112},
      {"0x001A7DDA7112", true, 0x001A7DDA7112},
      {"0X001a7dDA7112", true, 0x001A7DDA7112},
      {"001a7dda7112", true, 0x001A7DDA7112},
      {"0xFFFFFFFFFFFFFFFF", true, 0xFFFFFFFFFFFFFFFF},
      {"0x00000000000000000001", true, 1},  // leading zeros do not overflow
      {"0x1FFFFFFFFFFFFFFFF", false, 0},    // 65 bits
      {"", false, 0},
      {"0x", false, 0},
      {"0x1a7d-da71", false, 0},
      {"00:1A:7D:DA:71:12", false, 0},
      {" 0x1a7dda7112", false, 0},
      {"0x1a7dda7112 ", false, 0},
  };
  for (const auto& c : cases) {
    uint64_t value = 0xDEAD;
    EXPECT_EQ(platform::parseBluetoothAddress(c.text, &value), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
}

TEST(BluetoothAddress, Text_lowFortyEightBitsMostSignificantFirst) {
  EXPECT_EQ(platform::bluetoothAddressText(0x001A7DDA7112), "00:1A:7D:DA:71:12");
  // The settings keep the address in a 64-bit field; the top 16 bits are not part of it.
  EXPECT_EQ(platform::bluetoothAddressText(0xBEEF001A7DDA7112), "00:1A:7D:DA:71:12");
  uint64_t parsed = 0;
  ASSERT_TRUE(platform::parseBluetoothAddress("0x1A7DDA7112", &parsed));
  EXPECT_EQ(platform::bluetoothAddressText(parsed), "00:1A:7D:DA:71:12");
}

}  // namespace
