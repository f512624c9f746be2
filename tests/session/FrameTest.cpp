#include <gtest/gtest.h>

#include "session/Frame.h"

namespace {

std::vector<uint8_t> bytesOf(std::initializer_list<int> list) {
  std::vector<uint8_t> out;
  for (int b : list) out.push_back(static_cast<uint8_t>(b));
  return out;
}

TEST(Frame, Build_firstFrameOfProcess_hasWireBytesAndSerialOne) {
  Frame f;
  ASSERT_TRUE(f.build(0xF0, 0xF8, 0x21, 0x05));
  EXPECT_EQ(f.bytes(), bytesOf({0x55, 0xAA, 0xF0, 0xF8, 0x00, 0x03, 0x01, 0x21, 0x05, 0x2E}));
  EXPECT_EQ(f.data(), nullptr);
}

}  // namespace
