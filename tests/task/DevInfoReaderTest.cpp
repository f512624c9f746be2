#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "WebServices.h"
#include "platform/Clock.h"
#include "schedule/ScheduleManager.h"
#include "support/InfoWindow.h"
#include "support/ScriptedDevice.h"
#include "support/SimLinks.h"
#include "session/SessionManager.h"
#include "task/DevInfoReader.h"

namespace {

using namespace std::chrono_literals;

class DevInfoReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::processLinks();
    unsetenv("KESTREL_SERVICES");
    platform::setTimeScale(0.2);
    ScheduleManager::getInstance().createWorker(kWorkerDevInfo);
    ScheduleManager::getInstance().addTask(kWorkerDevInfo, kTaskDevInfoReader, std::make_shared<DevInfoReader>());
  }
  void TearDown() override {
    waitIdle();
    ScheduleManager::getInstance().removeTask(kWorkerDevInfo, kTaskDevInfoReader);
    platform::setTimeScale(1.0);
  }

  static void waitIdle() {
    EXPECT_TRUE(scantest::waitUntil(
        [] { return ScheduleManager::getInstance().getRunningTask(kWorkerDevInfo) == -1; }, 30s));
  }

  // Runs one read and waits until the task has ended.
  static void runRead(infotest::InfoWindow& window, size_t expectedReports) {
    ASSERT_EQ(ScheduleManager::getInstance().runTask(kTaskDevInfoReader), 0);
    ASSERT_TRUE(window.waitReports(expectedReports, 30s)) << "phases so far: " << window.phases().size();
    waitIdle();
  }
};

TEST_F(DevInfoReaderTest, CompleteRead_reportsPhases0122WithTheRecordGrowing) {
  auto device = scantest::startDevice({.serialNumber = "800000000001"});
  ASSERT_TRUE(device);
  sim::WebServices web;
  ASSERT_TRUE(web.start());
  infotest::InfoWindow window;

  runRead(window, 4);

  ASSERT_EQ(window.phases(), (std::vector<int>{0, 1, 2, 2}));
  std::vector<infotest::InfoWindow::Report> reports = window.reports();
  // The read's other fields are checked where the reader is tested.
  EXPECT_EQ(reports[0].info.serialNumber, "800000000001");
  EXPECT_TRUE(reports[0].info.firmware.latestVersion.empty());
  for (size_t i = 1; i < reports.size(); ++i) {
    const DeviceInfo& info = reports[i].info;
    EXPECT_EQ(info.firmware.latestVersion, "V1.20");
    EXPECT_EQ(info.j2534Firmware.latestVersion, "V2.20");
    EXPECT_EQ(info.system.latestVersion, "206");
    EXPECT_EQ(info.firmware.version, "V1.10");
  }
  EXPECT_TRUE(window.texts().empty());
  EXPECT_FALSE(SessionManager::getInstance()->isSessionConnected(static_cast<int>(reports[3].info.sessionId)));
}

TEST_F(DevInfoReaderTest, ModeNeverAnswered_endsWithPhases0And2AndNoOnlineQuery) {
  auto device = scantest::startDevice();
  ASSERT_TRUE(device);
  device->setSilent(kCmdReadMode);
  sim::WebServices web;
  ASSERT_TRUE(web.start());
  infotest::InfoWindow window;

  runRead(window, 2);

  EXPECT_EQ(window.phases(), (std::vector<int>{0, 2}));
  EXPECT_TRUE(window.reports()[1].info.serialNumber.empty());
  EXPECT_EQ(window.countText("ERR_READ_DEV_VER: 0x61,0x14"), 5u);
  EXPECT_EQ(device->core().requestCount(kCmdReadMode), 5u);
  EXPECT_TRUE(web.requestLog().empty());
}

TEST_F(DevInfoReaderTest, EveryRead_startsAtFrameSerialZero) {
  infotest::ScriptedDevice scripted;
  scripted.answerLikeADevice();
  infotest::InfoWindow window;
  Frame spent;
  spent.build(0xF0, 0xF8, 0x21, 0x14);  // moves the counter away from 255

  runRead(window, 4);  // the online queries fail: no services file

  std::vector<infotest::Bytes> requests = scripted.requests();
  ASSERT_GE(requests.size(), 4u);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(requests[i][6], i) << i;
  EXPECT_EQ(window.phases(), (std::vector<int>{0, 1, 2, 2}));
}

}  // namespace
