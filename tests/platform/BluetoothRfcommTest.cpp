#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

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

namespace {

using namespace std::chrono_literals;

struct Listener {
  int fd = -1;
  sockaddr_in address{};
  explicit Listener(int backlog) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len);
    ::listen(fd, backlog);
  }
  ~Listener() { ::close(fd); }
};

int nonBlockingTcp() { return ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); }

// The wait is what bounds a connect to a device that does not answer; a loopback
// listener whose accept queue is full drops the handshake the same way.
TEST(ConnectWithin, EndsWithTheConnectOrItsWait) {
  Listener open(8);
  Listener full(0);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {  // queue the connections nobody accepts
    int fd = nonBlockingTcp();
    fillers.push_back(fd);
    if (!platform::connectWithin(fd, reinterpret_cast<sockaddr*>(&full.address), sizeof full.address, 200ms)) break;
  }
  sockaddr_in closed = open.address;
  {
    Listener gone(1);
    closed = gone.address;
  }
  struct Case {
    const char* name;
    sockaddr_in address;
    bool connected;
    int err;
  } cases[] = {
      {"listener", open.address, true, 0},
      {"nothing listens", closed, false, ECONNREFUSED},
      {"handshake never answered", full.address, false, ETIMEDOUT},
  };
  for (const Case& c : cases) {
    int fd = nonBlockingTcp();
    auto start = std::chrono::steady_clock::now();
    errno = 0;
    EXPECT_EQ(platform::connectWithin(fd, reinterpret_cast<const sockaddr*>(&c.address), sizeof c.address, 300ms),
              c.connected)
        << c.name;
    auto took = std::chrono::steady_clock::now() - start;
    if (!c.connected) {
      EXPECT_EQ(errno, c.err) << c.name;
    }
    EXPECT_LT(took, 1300ms) << c.name;
    if (c.err == ETIMEDOUT) {
      EXPECT_GE(took, 290ms) << c.name;
    }
    ::close(fd);
  }
  for (int fd : fillers) ::close(fd);
}

}  // namespace
