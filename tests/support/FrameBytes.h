#pragma once
#include <cstdint>
#include <vector>

namespace testsupport {

// The bytes of one frame of the device's layout, built by hand so a test does
// not trust the encoder it checks. A request goes from 0xF0 to 0xF8, a reply
// the other way.
inline std::vector<uint8_t> frameBytes(uint8_t serial, uint8_t cmd, uint8_t sub, const std::vector<uint8_t>& data = {},
                                       uint8_t from = 0xF0, uint8_t to = 0xF8) {
  const size_t length = data.size() + 3;
  std::vector<uint8_t> b = {0x55, 0xAA, from, to, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length),
                            serial, cmd, sub};
  b.insert(b.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (size_t i = 2; i < b.size(); ++i) sum ^= b[i];
  b.push_back(sum);
  return b;
}

inline std::vector<uint8_t> replyBytes(uint8_t cmd, uint8_t sub, const std::vector<uint8_t>& data) {
  return frameBytes(0, cmd, sub, data, 0xF8, 0xF0);
}

}  // namespace testsupport
