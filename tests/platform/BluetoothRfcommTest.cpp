#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "platform/BluetoothRfcomm.h"
#include "support/LoopbackSockets.h"

namespace {

// The settings keep the address in a 64-bit field.
TEST(BluetoothAddress, ParseHexTextWithOrWithoutPrefix) {
  struct Case {
    const char* text;
    bool ok;
    uint64_t value = 0;
  } cases[] = {
      {"0x1a7dda7112", true, 0x1A7DDA7112},
      {"0X001a7dDA7112", true, 0x001A7DDA7112},
      {"001a7dda7112", true, 0x001A7DDA7112},
      {"0xBEEF001A7DDA7112", true, 0xBEEF001A7DDA7112},
      {"0xFFFFFFFFFFFFFFFF", true, 0xFFFFFFFFFFFFFFFF},
      {"0x00000000000000000001", true, 1},  // leading zeros do not overflow
      {"0x1FFFFFFFFFFFFFFFF", false},                             // 65 bits
      {"", false},
      {"0x", false},
      {"0x1a7d-da71", false},
      {"00:1A:7D:DA:71:12", false},
      {" 0x1a7dda7112", false},
      {"0x1a7dda7112 ", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    uint64_t value = 0xDEAD;
    ASSERT_EQ(platform::parseBluetoothAddress(c.text, &value), c.ok);
    EXPECT_TRUE(!c.ok || value == c.value) << std::hex << value;
  }
}

using namespace std::chrono_literals;

bool connectTo(int fd, uint16_t port, std::chrono::milliseconds wait) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return platform::connectWithin(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a, wait);
}

// The wait is what bounds a connect to a device that does not answer; a loopback
// listener whose accept queue is full drops the handshake the same way.
TEST(ConnectWithin, EndsWithTheConnectOrItsWait) {
  std::vector<int> fds;
  auto socketFd = [&] { return fds.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)); };
  testsupport::LocalSocket open(SOCK_STREAM), full(SOCK_STREAM);
  ASSERT_EQ(::listen(full.fd(), 0), 0);
  for (int i = 0; i < 4 && connectTo(socketFd(), full.port(), 200ms); ++i) {
  }
  struct Case {
    const char* name;
    uint16_t port;
    bool connected;
    int err;
  } cases[] = {
      {"listener", open.port(), true, 0},
      {"nothing listens", testsupport::freePort(SOCK_STREAM, "127.0.0.1"), false, ECONNREFUSED},
      {"handshake never answered", full.port(), false, ETIMEDOUT},
  };
  for (const Case& c : cases) {
    auto start = std::chrono::steady_clock::now();
    errno = 0;
    EXPECT_EQ(connectTo(socketFd(), c.port, 300ms), c.connected) << c.name;
    auto took = std::chrono::steady_clock::now() - start;
    const int err = errno;
    EXPECT_TRUE(c.connected || err == c.err) << c.name << ": errno " << err;
    EXPECT_LT(took, 1300ms) << c.name;
    EXPECT_TRUE(c.err != ETIMEDOUT || took >= 290ms) << c.name << " ended early";
  }
  for (int fd : fds) ::close(fd);
}

}  // namespace
