#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/Clock.h"
#include "session/Exchange.h"
#include "session/SessionManager.h"
#include "support/FakeLink.h"
#include "support/LogCapture.h"
#include "support/LoopbackSockets.h"
#include "support/PtyPair.h"

using namespace sessiontest;
using namespace std::chrono_literals;

namespace {

// The device's side of a TCP link on 127.0.0.1, driven by the test.
class TcpPeer {
 public:
  ~TcpPeer() { dropClient(); }
  int port() const { return listener_.port(); }

  bool accept() {
    dropClient();
    client_ = testsupport::readable(listener_.fd(), 5000) ? ::accept(listener_.fd(), nullptr, nullptr) : -1;
    return client_ >= 0;
  }
  void dropClient() {
    if (client_ >= 0) ::close(client_);
    client_ = -1;
  }
  Bytes readRequest() {
    Bytes header = testsupport::receiveExactly(client_, 6);
    if (header.size() != 6) return header;
    return concat({header, testsupport::receiveExactly(client_, static_cast<size_t>((header[4] << 8) | header[5]) + 1)});
  }
  void send(const Bytes& bytes) { ASSERT_EQ(::write(client_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }

 private:
  testsupport::LocalSocket listener_{SOCK_STREAM};
  int client_ = -1;
};

bool waitConnected(SessionManager& manager, int id) {
  for (int i = 0; i < 5000 && !manager.isSessionConnected(id); ++i) std::this_thread::sleep_for(1ms);
  return manager.isSessionConnected(id);
}

TEST(SessionLoopback, RealTcpLink_splitAndBatchedReplies_delivered_droppedLinkReconnects) {
  TcpPeer peer;
  auto manager = SessionManager::getInstance();
  ASSERT_EQ(manager->init(), 0);
  int id = manager->createNetworkSession("127.0.0.1", peer.port(), 0);
  ASSERT_TRUE(peer.accept());
  ASSERT_TRUE(waitConnected(*manager, id));

  // A reply whose bytes come in two segments.
  Frame request, reply;
  ASSERT_TRUE(request.build(0xF0, 0xF8, 0x21, 0x05));
  ASSERT_EQ(manager->sendFrame(id, request), 0);
  EXPECT_EQ(peer.readRequest(), request.bytes());
  const Bytes answer = frameBytes(request.serial(), 0x61, 0x05, {0x01, 0x02, 0x03, 0x04});
  peer.send(slice(answer, 0, 7));
  std::this_thread::sleep_for(30ms);
  peer.send(slice(answer, 7, answer.size()));
  ASSERT_EQ(manager->recvFrame(id, reply, 0x61, 0x05, 2000), 0);
  EXPECT_EQ(reply.bytes(), answer);

  // Two replies in one segment.
  peer.send(concat({frameBytes(0x30, 0x61, 0x14, {0x02}), frameBytes(0x31, 0x61, 0x33, {0x00})}));
  EXPECT_EQ(manager->recvFrame(id, reply, 0x61, 0x33, 2000), 0);
  EXPECT_EQ(manager->recvFrame(id, reply, 0x61, 0x14, 2000), 0);

  // The device drops the link: the session stays and is connected again.
  peer.dropClient();
  ASSERT_TRUE(peer.accept());
  ASSERT_TRUE(waitConnected(*manager, id));
  EXPECT_EQ(manager->createNetworkSession("127.0.0.1", peer.port(), 0), id);
  manager->closeAllSessions();
}

// Over a serial port the session takes a reply whole however long the
// device pauses inside it, and a port whose device went away ends the
// session instead of leaving it "connected" with nothing behind it.
TEST(SessionLoopback, Pty_replySplitByAPause_readWhole_hangUpEndsTheSession) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  auto manager = SessionManager::getInstance();
  ASSERT_EQ(manager->init(), 0);
  const int id = manager->createSerialSession(pty.slavePath());
  ASSERT_TRUE(waitConnected(*manager, id));

  for (int round = 0; round < 2; ++round) {
    Frame request, reply;
    ASSERT_TRUE(request.build(0xF0, 0xF8, 0x21, 0x05));
    const Bytes answer = frameBytes(request.serial(), 0x61, 0x05, Bytes(40, 0x33));
    std::thread device([&] {
      pty.read(request.size(), 2s);
      pty.write(slice(answer, 0, 12));
      std::this_thread::sleep_for(300ms);
      pty.write(slice(answer, 12, answer.size()));
    });
    const int64_t t0 = platform::nowMs();
    EXPECT_EQ(exchangeFrame(id, request, reply, 2000), 0) << "round " << round;
    EXPECT_LT(platform::nowMs() - t0, 1500) << "taken when its last byte came, not at a deadline";
    device.join();
    EXPECT_EQ(reply.bytes(), answer);
  }

  LogCapture log;
  Frame request, reply;
  ASSERT_TRUE(request.build(0xF0, 0xF8, 0x21, 0x05));
  ASSERT_EQ(manager->sendFrame(id, request), 0);
  pty.closeMaster();
  const int64_t t0 = platform::nowMs();
  EXPECT_EQ(manager->recvFrame(id, reply, 0x61, 0x05, 5000), -1);
  EXPECT_LT(platform::nowMs() - t0, 2500) << "waited for a reply from a port that hung up";
  EXPECT_TRUE(log.contains("session " + std::to_string(id) + " become invalid")) << log.dump();
  EXPECT_FALSE(manager->isSessionConnected(id));
  manager->closeAllSessions();
}

}  // namespace
