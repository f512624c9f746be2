#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "app/AppState.h"
#include "app/DeviceModel.h"
#include "app/Messages.h"
#include "app/TextNotifier.h"

namespace {

struct Recorder {
  std::mutex lock;  // guards the fields below
  std::vector<AppMessage> messages;
  std::thread::id thread;
  std::vector<std::string> serials;  // what UM_DEVICE_INFO pointed at, read during the call
  void operator()(const AppMessage& m) {
    std::lock_guard<std::mutex> guard(lock);
    messages.push_back(m);
    thread = std::this_thread::get_id();
    if (m.id == UM_DEVICE_INFO) serials.push_back(reinterpret_cast<const DeviceInfo*>(m.wParam)->serialNumber);
  }
};

TEST(AppState, Notifications_reachTargetOnItsOwnThreadBeforeSendReturns) {
  auto recorder = std::make_shared<Recorder>();
  auto target = std::make_shared<QueuedMessageTarget>([recorder](const AppMessage& m) { (*recorder)(m); });
  AppState& state = AppState::getInstance();
  state.setTarget(target);

  DeviceInfo info;
  info.serialNumber = "5RHM1ABCDEFG";
  state.deviceInfoPhase(info, 2);
  state.systemProgress(4, 0, 57);
  {
    // send() is synchronous: everything is recorded already.
    std::lock_guard<std::mutex> guard(recorder->lock);
    ASSERT_EQ(recorder->messages.size(), 2u);
    EXPECT_EQ(recorder->messages[0].lParam, 2);
    EXPECT_EQ(recorder->serials, std::vector<std::string>{"5RHM1ABCDEFG"});
    EXPECT_EQ(recorder->messages[1].wParam, 0x400u);
    EXPECT_EQ(recorder->messages[1].lParam, 57);
    EXPECT_NE(recorder->thread, std::this_thread::get_id());
  }
}

TEST(QueuedMessageTarget, SendFromHandlerThread_isHandledInline) {
  std::shared_ptr<QueuedMessageTarget> target;
  std::atomic<int> handled{0};
  target = std::make_shared<QueuedMessageTarget>([&](const AppMessage& m) {
    ++handled;
    if (m.id == 1) target->send(AppMessage{2, 0, 0, {}});
  });
  target->send(AppMessage{1, 0, 0, {}});
  EXPECT_EQ(handled.load(), 2);
}

TEST(ClassifyModel, SerialNumbersMapToModels) {
  struct Case { const char* serial; int model; };
  const Case cases[] = {
      {"5RWM8422345X", 5}, {"5RWM8ABCDEFG", 4}, {"5RHM1ABCDEFG", 0}, {"5RHM6ABCDEFG", 0},
      {"5RHM2ABCDEFG", 1}, {"5RHMJABCDEFG", 2}, {"5RHM3ABCDEFG", 3}, {"XYZ123456789", 6},
      {"744446123456", 0}, {"744443112345", 1}, {"744621234567", 3}, {"74443112345", 6},
      {"7444431123456", 6}, {"74444312345A", 6}, {"", 6},
  };
  for (const Case& c : cases) EXPECT_EQ(modelNumber(classifyModel(c.serial)), c.model) << c.serial;
  EXPECT_TRUE(isAlphanumericSerial("7444431A3456"));
  EXPECT_FALSE(isAlphanumericSerial("744443112345"));
}

}  // namespace
