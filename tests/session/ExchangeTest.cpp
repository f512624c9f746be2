#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "platform/Clock.h"
#include "session/Exchange.h"
#include "session/SessionManager.h"
#include "support/FakeLink.h"
#include "support/LogCapture.h"

using namespace sessiontest;
using namespace std::chrono_literals;

namespace {

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::setTimeScale(0.05);
    setConnectionFactoryForTest([this](const SessionEndpoint& endpoint) {
      link_->useDescriptor();
      return std::make_unique<FakeConnection>(link_, endpoint.type);
    });
    manager_->closeAllSessions();
    ASSERT_EQ(manager_->init(), 0);
    id_ = manager_->createNetworkSession("127.0.0.1", 22488, 0);
    auto until = std::chrono::steady_clock::now() + 5s;
    while (!manager_->isSessionConnected(id_) && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(manager_->isSessionConnected(id_));
  }
  void TearDown() override {
    manager_->closeAllSessions();
    setConnectionFactoryForTest(nullptr);
    platform::setTimeScale(1.0);
  }

  // Frames the far end sends for a request, given its serial.
  void answerWith(std::function<Bytes(uint8_t serial)> reply) {
    std::lock_guard<std::mutex> guard(link_->lock);
    link_->onWrite = [l = link_.get(), reply](const Bytes& request) { l->push(reply(request[6])); };
  }

  std::shared_ptr<FakeLink> link_ = std::make_shared<FakeLink>();
  std::shared_ptr<SessionManager> manager_ = SessionManager::getInstance();
  int id_ = -1;
};

TEST_F(ExchangeTest, OnlyTheReplyWithTheRequestsSerialIsTaken) {
  const auto own = [](uint8_t s) { return frameBytes(s, 0x64, 0x03, {0x00}); };
  const auto other = [](uint8_t s) { return frameBytes(static_cast<uint8_t>(s - 1), 0x64, 0x03, {0x01}); };
  struct Case {
    const char* what;
    bool staleFiled;  // a reply of the pair waits from before the send
    std::function<Bytes(uint8_t)> reply;
    int rc;
  } cases[] = {
      {"own reply", false, own, 0},
      {"stale reply filed before the send", true, own, 0},
      {"late reply of the previous request first", false, [&](uint8_t s) { return concat({other(s), own(s)}); }, 0},
      {"only another request's reply", false, other, -1},
      {"another command with the serial", false, [](uint8_t s) { return frameBytes(s, 0x64, 0x04, {0x00}); }, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LogCapture log;
    Frame request;
    ASSERT_TRUE(request.build(0xF0, 0xF8, 0x24, 0x03));
    if (c.staleFiled) {
      link_->push(frameBytes(static_cast<uint8_t>(request.serial() + 7), 0x64, 0x03, {0x01}));
      ASSERT_TRUE(log.waitFor("insert frame serial", 5s));
    }
    answerWith(c.reply);
    Frame reply;
    const int64_t t0 = platform::nowMs();
    EXPECT_EQ(exchangeFrame(id_, request, reply, 1000), c.rc);
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
    manager_->dropFiledFrames(id_, 0x64, 0x04);
    EXPECT_EQ(manager_->recvFrame(id_, leftover, 0x64, 0x03, 0), -1) << "a stale reply stayed filed";
  }
}

TEST_F(ExchangeTest, SendFailure_isToldApartFromNoReply) {
  Frame request;
  Frame reply;
  ASSERT_TRUE(request.build(0xF0, 0xF8, 0x21, 0x05));
  bool sent = true;
  EXPECT_EQ(exchangeFrame(id_ + 99, request, reply, 1000, &sent), -1);
  EXPECT_FALSE(sent);
  EXPECT_EQ(exchangeFrame(id_, request, reply, 100, &sent), -1);
  EXPECT_TRUE(sent);
}

TEST_F(ExchangeTest, WaitSessionConnected_endsOnCancelOrLimit) {
  EXPECT_TRUE(waitSessionConnected(id_, 1000));
  EXPECT_FALSE(waitSessionConnected(id_ + 99, 1000));
  int checks = 0;
  EXPECT_FALSE(waitSessionConnected(id_ + 99, 100000, [&] { return ++checks > 2; }));
  EXPECT_EQ(checks, 3);
}

}  // namespace
