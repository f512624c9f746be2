#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "connection/ConnectionFactory.h"
#include "platform/Clock.h"
#include "support/PtyPair.h"

using namespace std::chrono_literals;

namespace {

class SerialConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    conn = createSerialConnection(pty.slavePath());
    ASSERT_EQ(conn->getType(), DeviceConnection::Serial);
    ASSERT_TRUE(conn->Connect());
  }
  void TearDown() override { platform::setTimeScale(1.0); }

  int write(const std::string& text) {
    return conn->writeData(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
  std::string read() {
    uint8_t buffer[256];
    int n = conn->readData(buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, buffer + n) : std::string();
  }

  PtyPair pty;
  std::unique_ptr<DeviceConnection> conn;
};

TEST_F(SerialConnectionTest, Reads_onlyWhileBytesAreAwaited_takeWhatThePortHolds) {
  pty.write("early");
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(read(), "");  // before any write the port is not touched
  EXPECT_EQ(conn->pollHandle(), -1);

  EXPECT_EQ(write("q"), 1);
  EXPECT_EQ(pty.read(1), std::vector<uint8_t>{'q'});
  EXPECT_GE(conn->pollHandle(), 0);
  int64_t start = platform::nowMs();
  EXPECT_EQ(read(), "early");
  EXPECT_LT(platform::nowMs() - start, 20) << "no quiet gap ends a read";
  EXPECT_EQ(conn->pollHandle(), -1);

  pty.write("ly");
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(read(), "") << "unasked for once bytes came";
  conn->setReplyAwaited(true);  // the session still misses the end of its frame
  EXPECT_EQ(read(), "ly");
}

TEST_F(SerialConnectionTest, FailedWrite_stillAwaitsTheReply) {
  platform::setTimeScale(0.05);  // the 1 s write time-out becomes 50 ms
  std::vector<uint8_t> big(1 << 20, 0xA5);  // far more than a pty holds
  EXPECT_EQ(conn->writeData(big.data(), big.size()), 0);
  EXPECT_GE(conn->pollHandle(), 0);

  EXPECT_EQ(read(), "");  // nothing yet: the flag stays up
  EXPECT_GE(conn->pollHandle(), 0);

  pty.drain();
  pty.write("ok");
  EXPECT_EQ(read(), "ok");
  EXPECT_EQ(conn->pollHandle(), -1);
}

TEST_F(SerialConnectionTest, Connect_portHeldExclusively_untilClosed) {
  auto other = createSerialConnection(pty.slavePath());
  EXPECT_FALSE(other->Connect());
  EXPECT_FALSE(other->isConnected());
  EXPECT_EQ(other->writeData(reinterpret_cast<const uint8_t*>("x"), 1), 0);

  conn->close();
  conn->close();
  EXPECT_FALSE(conn->isConnected());
  EXPECT_TRUE(other->Connect());
  other->close();
}

}  // namespace
