#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/SerialPort.h"
#include "support/PtyPair.h"

using namespace std::chrono_literals;
using platform::SerialPort;

namespace {

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    ASSERT_TRUE(port.open(pty.slavePath(), 115200, 8, SerialPort::NOPARITY, SerialPort::ONESTOPBIT));
  }
  PtyPair pty;
  SerialPort port;
};

struct ReadCase {
  const char* name;
  uint32_t interval, multiplier, constant, waitMs;
  std::vector<std::pair<std::chrono::milliseconds, std::string>> device;  // sent this long after the read starts
  size_t capacity;
  bool ok;
  std::string expected;
  std::chrono::milliseconds atLeast, atMost;
};

TEST_F(SerialPortTest, Read_followsTheComTimeouts) {
  const ReadCase cases[] = {
      {"buffer filled returns at once", 50, 0, 1000, 2000, {{0ms, "abcd"}}, 4, true, "abcd", 0ms, 500ms},
      {"pause after reply ends the read", 50, 0, 1000, 2000, {{0ms, "abc"}, {600ms, "def"}}, 64, true, "abc", 0ms, 450ms},
      {"silent port, total time-out is a success", 0, 0, 150, 2000, {}, 8, true, "", 140ms, 1000ms},
      {"total grows with the count", 0, 10, 0, 2000, {}, 20, true, "", 190ms, 1000ms},
      {"silent port, wait limit fails", 0, 0, 0, 150, {}, 8, false, "", 140ms, 1000ms},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pty.drain(20ms);
    ASSERT_TRUE(port.purge(SerialPort::PURGE_RXCLEAR));
    ASSERT_TRUE(port.setTimeouts(c.interval, c.multiplier, c.constant, 0, 0));
    auto device = std::async(std::launch::async, [&] {
      auto start = std::chrono::steady_clock::now();
      for (const auto& [at, text] : c.device) {
        std::this_thread::sleep_until(start + at);
        pty.write(text);
      }
    });
    std::vector<uint8_t> buffer(c.capacity);
    size_t got = 99;
    int64_t start = platform::nowMs();
    bool ok = port.read(buffer.data(), buffer.size(), &got, c.waitMs);
    auto elapsed = std::chrono::milliseconds(platform::nowMs() - start);
    device.wait();
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + static_cast<long>(std::min(got, buffer.size()))), c.expected);
    EXPECT_GE(elapsed, c.atLeast);
    EXPECT_LE(elapsed, c.atMost);
  }
}

// Bytes keep coming closer together than the interval: the wait limit ends the
// read, and what arrived so far is handed over rather than lost.
TEST_F(SerialPortTest, Read_streamPastTheWaitLimit_keepsTheBytes) {
  ASSERT_TRUE(port.setTimeouts(100, 0, 0, 0, 0));
  const std::string stream = "abcdefghijkl";
  auto device = std::async(std::launch::async, [&] {
    for (char ch : stream) {
      pty.write(std::string(1, ch));
      std::this_thread::sleep_for(30ms);
    }
  });
  uint8_t buffer[64];
  size_t got = 0;
  int64_t start = platform::nowMs();
  EXPECT_TRUE(port.read(buffer, sizeof buffer, &got, 250));
  EXPECT_GE(platform::nowMs() - start, 240);
  device.wait();
  ASSERT_GE(got, 3u);
  EXPECT_EQ(std::string(buffer, buffer + got), stream.substr(0, got));
}

// Recovery after a failed write is the serial connection tests' business.
TEST_F(SerialPortTest, Write_fullPortTimesOut) {
  std::vector<uint8_t> big(1 << 20, 0x5A);
  int64_t start = platform::nowMs();
  EXPECT_FALSE(port.write(big.data(), big.size(), nullptr, 200));
  EXPECT_LT(platform::nowMs() - start, 1500);
}

TEST_F(SerialPortTest, Close_fromAnotherThreadEndsABlockedRead) {
  ASSERT_TRUE(port.setTimeouts(0, 0, 0, 0, 0));  // no COM time-out at all
  auto reader = std::async(std::launch::async, [&] {
    uint8_t buffer[8];
    size_t got = 0;
    return port.read(buffer, sizeof buffer, &got, SerialPort::INFINITE);
  });
  std::this_thread::sleep_for(100ms);
  port.close();
  ASSERT_EQ(reader.wait_for(2s), std::future_status::ready);
  EXPECT_FALSE(reader.get());
  EXPECT_FALSE(port.isOpen());
}

}  // namespace
