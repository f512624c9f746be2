#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/Clock.h"
#include "session/Exchange.h"
#include "session/SessionManager.h"
#include "support/FakeLink.h"
#include "support/LogCapture.h"
#include "support/PtyPair.h"
#include "support/WaitUntil.h"

using namespace sessiontest;
using namespace std::chrono_literals;

namespace {

// Over a serial port the session takes a reply whole however long the
// device pauses inside it, and a port whose device went away ends the
// session instead of leaving it "connected" with nothing behind it.
TEST(SessionLoopback, Pty_replySplitByAPause_readWhole_hangUpEndsTheSession) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  auto manager = SessionManager::getInstance();
  ASSERT_EQ(manager->init(), 0);
  const int id = manager->createSerialSession(pty.slavePath());
  ASSERT_TRUE(testsupport::waitUntil([&] { return manager->isSessionConnected(id); }, 5s));

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
