#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>

#include "SocketCalls.h"
#include "connection/ConnectionFactory.h"
#include "platform/BluetoothRfcomm.h"
#include "platform/LoopbackGuard.h"
#include "support/LogCapture.h"

namespace {

constexpr int kWarn = 30000;

TEST(BluetoothConnection, ConnectAndRadioCalls_refusedWithoutTouchingTheRadio) {
  ASSERT_TRUE(platform::loopbackGuardActive());
  struct Case {
    const char* address;
    int errCode;
    const char* guardLine;  // nullptr: the text is rejected before the guard is asked
  } cases[] = {
      {"0x001a7dda7112", EACCES, "loopback guard: refused bluetooth 00:1A:7D:DA:71:12"},
      {"1A7DDA7112", EACCES, "loopback guard: refused bluetooth 00:1A:7D:DA:71:12"},
      {"not an address", EINVAL, nullptr},
  };
  for (const auto& c : cases) {
    LogCapture log;
    auto conn = createBluetoothConnection(c.address);
    ASSERT_EQ(conn->getType(), DeviceConnection::Bluetooth);
    int before = socketCallCount();  // SDP and RFCOMM both start with a socket
    EXPECT_FALSE(conn->Connect()) << c.address;
    EXPECT_EQ(socketCallCount(), before) << c.address;
    EXPECT_FALSE(conn->isConnected());
    EXPECT_EQ(conn->pollHandle(), -1);
    EXPECT_TRUE(log.contains("connect bluetooth err, errCode : " + std::to_string(c.errCode), kWarn)) << log.dump();
    if (c.guardLine) {
      EXPECT_TRUE(log.contains(c.guardLine, kWarn)) << log.dump();
    }
  }

  // The radio calls below the connection refuse on their own as well.
  LogCapture log;
  int before = socketCallCount();
  errno = 0;
  EXPECT_EQ(platform::findSerialPortChannel(0x001A7DDA7112, std::chrono::seconds(5)), -1);
  EXPECT_EQ(errno, EACCES);
  errno = 0;
  EXPECT_EQ(platform::connectRfcomm(0x001A7DDA7112, 1, std::chrono::seconds(2)), -1);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(socketCallCount(), before);
  EXPECT_EQ(log.count("loopback guard: refused bluetooth 00:1A:7D:DA:71:12", kWarn), 2u) << log.dump();
}

}  // namespace
