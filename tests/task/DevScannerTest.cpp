#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <vector>

#include "app/AppState.h"
#include "app/Messages.h"
#include "platform/NetworkAdapters.h"
#include "platform/WlanClient.h"
#include "schedule/ScheduleManager.h"
#include "support/SimLinks.h"
#include "platform/FakeNetworkAdapters.h"
#include "platform/FakeWlanClient.h"
#include "support/WindowRecorder.h"
#include "task/DevScanner.h"

namespace {

using namespace std::chrono_literals;

class DevScannerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::processLinks();
    platform::setTimeScale(0.2);
    useLoopbackAdapterOnly();
    auto wlan = std::make_shared<FakeWlanClient>();
    wlan->failOpen = true;  // a host without a Wi-Fi service
    platform::setWlanClientFactoryForTest([wlan] { return wlan; });
    ScheduleManager::getInstance().createWorker(kWorkerDevInfo);
    ScheduleManager::getInstance().addTask(kWorkerDevInfo, kTaskDevScanner, std::make_shared<DevScanner>());
  }
  void TearDown() override {
    ScheduleManager::getInstance().removeTask(kWorkerDevInfo, kTaskDevScanner);
    platform::setNetworkAdaptersForTest(nullptr);
    platform::setWlanClientFactoryForTest(nullptr);
    platform::setTimeScale(1.0);
  }
};

TEST_F(DevScannerTest, Scans_reportTheirListAndResultToTheWindow) {
  auto device = scantest::startDevice({.serialNumber = "744443100001"});
  ASSERT_TRUE(device);
  testsupport::WindowRecorder window;

  // LAN runs although the Wi-Fi scanner cannot be prepared; Wi-Fi fails
  // with its init result; type 2 has no scanner and succeeds empty.
  const int types[] = {1, 3, 2};
  for (size_t i = 0; i < std::size(types); ++i) {
    AppState::getInstance().setScanType(types[i]);
    ASSERT_EQ(ScheduleManager::getInstance().runTask(kTaskDevScanner), 0);
    ASSERT_TRUE(window.waitScans(i + 1, 10s)) << types[i];
    // The report is sent from inside the run; wait until the task is idle again.
    ASSERT_TRUE(scantest::waitUntil(
        [] { return ScheduleManager::getInstance().getRunningTask(kWorkerDevInfo) == -1; }, 5s));
  }

  const auto reports = window.scans();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].result, 0);
  ASSERT_EQ(reports[0].devices.size(), 1u);
  EXPECT_EQ(reports[0].devices[0].name, "744443100001");
  EXPECT_EQ(reports[0].devices[0].connectType, static_cast<uint32_t>(ConnectType::Lan));
  EXPECT_EQ(reports[1].result, -1);
  EXPECT_TRUE(reports[1].devices.empty());
  EXPECT_EQ(reports[2].result, 0);
  EXPECT_TRUE(reports[2].devices.empty());
}

TEST_F(DevScannerTest, WithoutAWindow_nothingIsSentOrKept) {
  auto device = scantest::startDevice({.serialNumber = "744443100001"});
  ASSERT_TRUE(device);
  AppState::getInstance().setScanType(1);

  DevScanner beforeAnyWindow;
  beforeAnyWindow.run();
  EXPECT_TRUE(AppState::getInstance().devices().empty());

  auto gone = std::make_shared<QueuedMessageTarget>([](const AppMessage&) { ADD_FAILURE() << "sent to a closed window"; });
  AppState::getInstance().setTarget(gone);
  gone->shutdown();
  gone.reset();
  DevScanner afterTheWindow;
  afterTheWindow.run();
  EXPECT_TRUE(AppState::getInstance().devices().empty());
  EXPECT_EQ(device->core().requestCount(kCmdReadSerial), 2u) << "both scans ran";
}

}  // namespace
