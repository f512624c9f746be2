#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/Clock.h"
#include "support/FakeLink.h"
#include "session/Exchange.h"
#include "session/SessionApi.h"
#include "session/SessionManager.h"
#include "support/LogCapture.h"
#include "support/WaitUntil.h"

using namespace sessiontest;
using namespace std::chrono_literals;

namespace {

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
  return testsupport::waitUntil(done, timeout);
}

// The far end answers each request with reply(the request's serial).
void answerWith(FakeLink& link, std::function<Bytes(uint8_t serial)> reply) {
  std::lock_guard<std::mutex> guard(link.lock);
  link.onWrite = [l = &link, reply](const Bytes& request) { l->push(reply(request[6])); };
}

// Sessions made while a test runs get fake links the test can drive.
class SessionManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setConnectionFactoryForTest([this](const SessionEndpoint& endpoint) {
      auto link = std::make_shared<FakeLink>();
      link->useDescriptor();
      std::lock_guard<std::mutex> guard(linksLock_);
      links_.push_back(link);
      return std::make_unique<FakeConnection>(link, endpoint.type);
    });
    manager_ = SessionManager::getInstance();
    manager_->closeAllSessions();
  }

  void TearDown() override {
    manager_->closeAllSessions();
    setConnectionFactoryForTest(nullptr);
    platform::setTimeScale(1.0);
  }

  std::shared_ptr<FakeLink> link(size_t i) {
    std::lock_guard<std::mutex> guard(linksLock_);
    return i < links_.size() ? links_[i] : nullptr;
  }

  // A session on a fake link that the running worker has connected.
  int connectedSession(const std::string& host = "127.0.0.1", int port = 22488) {
    EXPECT_EQ(manager_->init(), 0);
    int id = manager_->createNetworkSession(host, port, 0);
    EXPECT_TRUE(waitUntil([&] { return manager_->isSessionConnected(id); }));
    return id;
  }

  std::shared_ptr<SessionManager> manager_;
  std::mutex linksLock_;
  std::vector<std::shared_ptr<FakeLink>> links_;  // guarded by linksLock_
};

TEST_F(SessionManagerTest, CreateSession_sameEndpointReused) {
  int id = connectedSession("10.1.1.1", 22488);
  EXPECT_GT(id, 0);
  EXPECT_EQ(manager_->createNetworkSession("10.1.1.1", 22488, 0), id);
  EXPECT_NE(manager_->createNetworkSession("10.1.1.1", 22488, 1), id);
  EXPECT_NE(manager_->createNetworkSession("10.1.1.1", 22400, 0), id);
  EXPECT_NE(manager_->createNetworkSession("10.1.1.2", 22488, 0), id);
  int serial = manager_->createSerialSession("ttyACM0");
  EXPECT_EQ(manager_->createSerialSession("ttyACM0"), serial);
  EXPECT_NE(manager_->createSerialSession("ttyACM1"), serial);
  int bt = manager_->createBluetoothSession("0x0011223344AA");
  EXPECT_EQ(manager_->createBluetoothSession("0x0011223344AA"), bt);
  EXPECT_NE(manager_->createBluetoothSession("0x0011223344BB"), bt);
}

TEST_F(SessionManagerTest, ReadError_sessionReplaced_removedOnlyAfterItsFramesAreClaimed) {
  int id = connectedSession();
  LogCapture log;
  const std::string cleared = "clear invailed session " + std::to_string(id) + " ";
  link(0)->push(frameBytes(0x07, 0x61, 0x05, {0x42}));
  link(0)->breakLink();
  ASSERT_TRUE(log.waitFor("session " + std::to_string(id) + " become invalid", 5s)) << log.dump();
  EXPECT_EQ(manager_->sendFrame(id, Frame()), -1);
  // An invalid session is never handed out again, even while it stays.
  EXPECT_GT(manager_->createNetworkSession("127.0.0.1", 22488, 0), id);

  std::this_thread::sleep_for(50ms);  // several worker passes
  EXPECT_FALSE(log.contains(cleared)) << "removed while a reply was still filed";

  Frame out;
  ASSERT_EQ(manager_->recvFrame(id, out, 0x61, 0x05, 1000), 0);
  EXPECT_EQ(out.data()[0], 0x42);
  ASSERT_TRUE(log.waitFor(cleared, 5s)) << log.dump();
  EXPECT_EQ(log.count(cleared), 1u);
  EXPECT_EQ(manager_->closeSession(id), -1);
}

TEST_F(SessionManagerTest, RecvFrame_sessionClosedWhileWaiting_endsPromptly) {
  int id = connectedSession();
  std::thread closer([&] {
    std::this_thread::sleep_for(30ms);
    manager_->closeSession(id);
  });
  Frame out;
  auto t0 = platform::nowMs();
  EXPECT_EQ(manager_->recvFrame(id, out, 0x61, 0x05, 10000), -1);
  EXPECT_LT(platform::nowMs() - t0, 2000);
  closer.join();
}

// The requester wakes as soon as its reply is filed, and a worker with nothing
// to read does not read.
TEST_F(SessionManagerTest, RoundTrip_requesterWakesPromptly_idleWorkerReadsNothing) {
  int id = connectedSession();
  // Each reply comes next to an unrelated frame, so the requester must wait
  // for the match, not merely for any frame.
  answerWith(*link(0), [](uint8_t s) {
    return concat({frameBytes(static_cast<uint8_t>(s + 128), 0x60, 0x00), frameBytes(s, 0x61, 0x05, {0x00})});
  });
  std::vector<int64_t> micros;
  for (int i = 0; i < 21; ++i) {
    Frame request, reply;
    ASSERT_TRUE(request.build(0xF0, 0xF8, 0x21, 0x05));
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(manager_->sendFrame(id, request), 0);
    ASSERT_EQ(manager_->recvFrame(id, reply, 0x61, 0x05, 2000), 0);
    micros.push_back(std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count());
    EXPECT_EQ(reply.serial(), request.serial());
    Frame other;
    ASSERT_EQ(manager_->recvFrame(id, other, 0x60, 0x00, 2000), 0);
  }
  std::sort(micros.begin(), micros.end());
  // Generous for a loaded machine; waiting in slices or sleeping between
  // checks would show as a much slower median.
  EXPECT_LT(micros[micros.size() / 2], 50000) << "median round trip in us";
  EXPECT_LT(micros.back(), 1000000);

  std::this_thread::sleep_for(20ms);
  int before = link(0)->readCount();
  std::this_thread::sleep_for(100ms);
  EXPECT_LE(link(0)->readCount() - before, 1) << "a link with a quiet descriptor is not read";
}

// The exchange helper takes only the reply carrying its request's serial and
// drops stale replies of the pair; its time-out is scaled once.
TEST_F(SessionManagerTest, Exchange_onlyTheReplyWithTheRequestsSerialIsTaken) {
  platform::setTimeScale(0.05);
  const int id = connectedSession();
  const auto own = [](uint8_t s) { return frameBytes(s, 0x64, 0x03, {0x00}); };
  const auto other = [](uint8_t s) { return frameBytes(static_cast<uint8_t>(s - 1), 0x64, 0x03, {0x01}); };
  // Nothing of the pair: an unrelated frame that does not take the serial's place.
  const auto noAnswer = [](uint8_t s) { return frameBytes(static_cast<uint8_t>(s + 1), 0x60, 0x00); };
  struct Case {
    const char* what;
    int stale;  // -1: none; else a reply of the pair, this far from the request's serial, waits from before the send
    std::function<Bytes(uint8_t)> reply;
    int rc;
  } cases[] = {
      {"own reply", -1, own, 0},
      {"stale reply filed before the send", 7, own, 0},
      {"stale reply with the same serial (256 requests back), no answer", 0, noAnswer, -1},
      {"late reply of the previous request first", -1, [&](uint8_t s) { return concat({other(s), own(s)}); }, 0},
      {"only another request's reply", -1, other, -1},
      {"another command with the serial", -1, [](uint8_t s) { return frameBytes(s, 0x64, 0x04, {0x00}); }, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LogCapture log;
    Frame request;
    ASSERT_TRUE(request.build(0xF0, 0xF8, 0x24, 0x03));
    if (c.stale >= 0) {
      link(0)->push(frameBytes(static_cast<uint8_t>(request.serial() + c.stale), 0x64, 0x03, {0x01}));
      ASSERT_TRUE(log.waitFor("insert frame serial", 5s));
    }
    answerWith(*link(0), c.reply);
    Frame reply;
    const int64_t t0 = platform::nowMs();
    EXPECT_EQ(exchangeFrame(id, request, reply, 1000), c.rc);
    const int64_t took = platform::nowMs() - t0;
    if (c.rc == 0) {
      EXPECT_EQ(reply.serial(), request.serial());
      EXPECT_EQ(reply.data()[0], 0x00);
    } else {
      // 1000 ms at scale 0.05, scaled once.
      EXPECT_GE(took, 45);
      EXPECT_LT(took, 1000);
    }
    Frame leftover;
    manager_->dropFiledFrames(id, 0x64, 0x04);
    EXPECT_EQ(manager_->recvFrame(id, leftover, 0x64, 0x03, 0), -1) << "a stale reply stayed filed";
  }
}

// A request that never left is told apart from one that got no reply; the
// connect wait ends when asked to stop.
TEST_F(SessionManagerTest, Exchange_sendFailureAndConnectWait) {
  platform::setTimeScale(0.05);
  const int id = connectedSession();
  Frame request, reply;
  ASSERT_TRUE(request.build(0xF0, 0xF8, 0x21, 0x05));
  bool sent = true;
  EXPECT_EQ(exchangeFrame(id + 99, request, reply, 1000, &sent), -1);
  EXPECT_FALSE(sent);
  EXPECT_EQ(exchangeFrame(id, request, reply, 100, &sent), -1);
  EXPECT_TRUE(sent);

  int checks = 0;
  EXPECT_FALSE(waitSessionConnected(id + 99, 100000, [&] { return ++checks > 2; }));
  EXPECT_EQ(checks, 3);
}

// A connect that takes its whole wait, as the page of an absent Bluetooth
// device does; early: the link reads connected before the connect returns.
class StalledConnection : public FakeConnection {
 public:
  struct Control {
    bool early = false;
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
  };
  StalledConnection(int type, std::shared_ptr<Control> control)
      : FakeConnection(std::make_shared<FakeLink>(), type), control_(std::move(control)) {}
  bool Connect() override {
    if (control_->early) setConnected(true);
    control_->entered = true;
    waitUntil([&] { return control_->release.load(); }, 3s);
    return FakeConnection::Connect();
  }

 private:
  std::shared_ptr<Control> control_;
};

std::shared_ptr<StalledConnection::Control> stallConnects(bool early) {
  auto control = std::make_shared<StalledConnection::Control>();
  control->early = early;
  setConnectionFactoryForTest([=](const SessionEndpoint& endpoint) {
    return std::make_unique<StalledConnection>(endpoint.type, control);
  });
  return control;
}

// The connect wait wakes as the worker connects, well inside its 100 ms check
// for cancel; a connect that never comes ends it at its limit.
TEST_F(SessionManagerTest, ConnectWait_wakesOnTheConnectOrEndsAtItsLimit) {
  struct Case {
    const char* name;
    bool connects;  // the stalled connect is let go 20 ms into the wait
    int limitMs;
    std::chrono::milliseconds atLeast, below;
  };
  const Case cases[] = {
      {"connects", true, 3000, 15ms, 90ms},
      {"never connects", false, 300, 290ms, 1000ms},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto control = stallConnects(false);
    ASSERT_EQ(manager_->init(), 0);
    const int id = manager_->createNetworkSession("127.0.0.1", 22488, 0);
    ASSERT_TRUE(waitUntil([&] { return control->entered.load(); }));
    std::thread releaser([&] {
      if (!c.connects) return;
      std::this_thread::sleep_for(20ms);
      control->release = true;
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(waitSessionConnected(id, c.limitMs), c.connects);
    const auto took = std::chrono::steady_clock::now() - start;
    releaser.join();
    control->release = true;
    manager_->closeAllSessions();
    EXPECT_GE(took, c.atLeast);
    EXPECT_LT(took, c.below);
  }
}

TEST_F(SessionManagerTest, CloseAll_duringALongConnect_doesNotWaitForIt) {
  auto control = stallConnects(false);
  ASSERT_EQ(manager_->init(), 0);
  int id = manager_->createBluetoothSession("0x0011223344AA");
  ASSERT_TRUE(waitUntil([&] { return control->entered.load(); }));

  auto start = std::chrono::steady_clock::now();
  manager_->closeAllSessions();
  auto took = std::chrono::steady_clock::now() - start;
  control->release = true;

  EXPECT_LT(took, 500ms);
  EXPECT_FALSE(manager_->isSessionConnected(id));
}

TEST_F(SessionManagerTest, SendAsTheLinkTurnsConnected_waitsForTheConnectToEnd) {
  auto control = stallConnects(true);
  ASSERT_EQ(manager_->init(), 0);
  int id = manager_->createNetworkSession("127.0.0.1", 22488, 0);
  ASSERT_TRUE(waitUntil([&] { return control->entered.load(); }));
  ASSERT_TRUE(manager_->isSessionConnected(id));
  Frame request;
  ASSERT_TRUE(request.build(0xF0, 0xF8, 0x21, 0x05));
  std::thread releaser([&] {
    std::this_thread::sleep_for(100ms);
    control->release = true;
  });

  EXPECT_EQ(manager_->sendFrame(id, request), 0);
  releaser.join();
}

}  // namespace
