#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "SocketCalls.h"
#include "connection/ConnectionFactory.h"
#include "platform/Clock.h"
#include "support/LogCapture.h"
#include "support/LoopbackSockets.h"

using namespace std::chrono_literals;

namespace {

constexpr int kWarn = 30000;

using testsupport::LocalSocket;
using testsupport::readable;
using testsupport::receiveExactly;

// Nothing waiting is no failure; a frame far larger than the socket buffers
// hold while the peer is not reading still arrives whole and in order.
TEST(NetworkConnection, Tcp_emptyReadKeepsTheLink_largeWriteArrivesWhole) {
  LocalSocket listener(SOCK_STREAM);
  auto conn = createNetworkConnection("127.0.0.1", listener.port(), 0);
  ASSERT_EQ(conn->getType(), DeviceConnection::Network);
  ASSERT_TRUE(conn->Connect());
  ASSERT_TRUE(readable(listener.fd(), 2000));
  const int peer = ::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(peer, 0);

  uint8_t buffer[64];
  EXPECT_EQ(conn->readData(buffer, sizeof buffer), 0);
  EXPECT_TRUE(conn->isConnected());
  const uint8_t reply[] = {0x55, 0xAA, 0x61, 0x05};
  ASSERT_EQ(::send(peer, reply, sizeof reply, 0), 4);
  ASSERT_TRUE(readable(conn->pollHandle(), 2000));
  EXPECT_EQ(conn->readData(buffer, sizeof buffer), 4);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), std::vector<uint8_t>(reply, reply + 4));

  std::vector<uint8_t> frame(4 << 20);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  auto receiver = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(200ms);
    return receiveExactly(peer, frame.size());
  });
  EXPECT_EQ(conn->writeData(frame.data(), frame.size()), static_cast<int>(frame.size()));
  EXPECT_TRUE(receiver.get() == frame);
  EXPECT_TRUE(conn->isConnected());
  ::close(peer);
}

TEST(NetworkConnection, Connect_closedLoopbackPort_failsFast) {
  int port;
  {
    LocalSocket unused(SOCK_STREAM);
    port = unused.port();
  }
  LogCapture log;
  auto conn = createNetworkConnection("127.0.0.1", port, 0);
  int64_t start = platform::nowMs();
  EXPECT_FALSE(conn->Connect());
  // The refusal, then the pause after a failed attempt; not the 2 s connect wait.
  EXPECT_LT(platform::nowMs() - start, 1500);
  EXPECT_GE(platform::nowMs() - start, 450);
  // A non-blocking connect learns of the refusal through SO_ERROR.
  EXPECT_TRUE(log.contains("connect timeout, errCode : " + std::to_string(ECONNREFUSED))) << log.dump();
  EXPECT_FALSE(conn->isConnected());
  EXPECT_EQ(conn->pollHandle(), -1);
}

TEST(NetworkConnection, Connect_portOutOfRange_isAnInvalidAddress) {
  LogCapture log;
  int before = socketCallCount();
  // The resolver would quietly wrap 70000 onto port 4464.
  EXPECT_FALSE(createNetworkConnection("127.0.0.1", 70000, 0)->Connect());
  EXPECT_FALSE(createNetworkConnection("127.0.0.1", 0, 1)->Connect());
  EXPECT_EQ(log.count("addr is invalid, errCode : ", kWarn), 2u) << log.dump();
  EXPECT_EQ(socketCallCount(), before);
}

TEST(NetworkConnection, Datagram_sentAndAnEmptyDatagramKeepsTheLink) {
  LogCapture log;
  LocalSocket peer(SOCK_DGRAM);
  auto conn = createNetworkConnection("127.0.0.1", peer.port(), 1);
  int before = socketCallCount();
  ASSERT_TRUE(conn->Connect()) << log.dump();
  EXPECT_EQ(socketCallCount(), before + 1);  // the counter the guard tests rely on does see our sockets

  const uint8_t probe[] = {0x55, 0xAA, 0x01};
  EXPECT_EQ(conn->writeData(probe, sizeof probe), 3);
  uint8_t got[16];
  sockaddr_in from{};
  socklen_t fromLen = sizeof from;
  ASSERT_TRUE(readable(peer.fd(), 2000));
  ASSERT_EQ(::recvfrom(peer.fd(), got, sizeof got, 0, reinterpret_cast<sockaddr*>(&from), &fromLen), 3);

  ASSERT_EQ(::sendto(peer.fd(), "", 0, 0, reinterpret_cast<sockaddr*>(&from), fromLen), 0);
  ASSERT_TRUE(readable(conn->pollHandle(), 2000));
  EXPECT_EQ(conn->readData(got, sizeof got), 0);
  EXPECT_TRUE(conn->isConnected());
  EXPECT_GE(conn->pollHandle(), 0);
}

// The guard must refuse before a socket exists, so nothing can leave the machine.
TEST(NetworkConnection, LoopbackGuard_refusesOtherHostsBeforeAnySocket) {
  platform::setTimeScale(0.05);  // the pause after each failed attempt
  struct Case {
    const char* host;
    int port;
    int datagram;
  } cases[] = {
      {"192.168.100.1", 22488, 0},
      {"192.168.100.1", 22536, 1},
      {"255.255.255.255", 22536, 1},
      {"device.example", 22488, 0},  // not even looked up
  };
  for (const auto& c : cases) {
    LogCapture log;
    auto conn = createNetworkConnection(c.host, c.port, c.datagram);
    int before = socketCallCount();
    EXPECT_FALSE(conn->Connect()) << c.host;
    EXPECT_EQ(socketCallCount(), before) << c.host;
    EXPECT_FALSE(conn->isConnected());
    EXPECT_TRUE(log.contains(std::string("loopback guard: refused host ") + c.host, kWarn)) << log.dump();
    EXPECT_TRUE(log.contains("connect failed, errCode : " + std::to_string(EACCES), kWarn)) << log.dump();
    EXPECT_FALSE(log.contains("addr is invalid")) << log.dump();
    uint8_t probe[] = {0x55, 0xAA};
    EXPECT_EQ(conn->writeData(probe, sizeof probe), -1);
    EXPECT_EQ(socketCallCount(), before) << c.host;
  }
  platform::setTimeScale(1.0);
}

}  // namespace
