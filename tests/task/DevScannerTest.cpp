#include <gtest/gtest.h>

#include <condition_variable>
#include <iterator>
#include <memory>
#include <mutex>
#include <vector>

#include "app/AppState.h"
#include "app/Messages.h"
#include "platform/NetworkAdapters.h"
#include "platform/UsbDevices.h"
#include "platform/WlanClient.h"
#include "schedule/ScheduleManager.h"
#include "support/SimLinks.h"
#include "support/FakeNetworkAdapters.h"
#include "support/FakeWlanClient.h"
#include "task/DevScanner.h"

namespace {

using namespace std::chrono_literals;

// What the window would see of each UM_SCAN_DONE: the result and the list
// AppState holds while the message is handled.
struct ScanReport {
  int result;
  J2534DeviceList devices;
};

class ScanWindow {
 public:
  ScanWindow() {
    target_ = std::make_shared<QueuedMessageTarget>([this](const AppMessage& m) {
      if (m.id != UM_SCAN_DONE) return;
      std::lock_guard<std::mutex> guard(lock_);
      reports_.push_back({static_cast<int>(static_cast<intptr_t>(m.wParam)), AppState::getInstance().devices()});
      changed_.notify_all();
    });
    AppState::getInstance().setTarget(target_);
  }
  ~ScanWindow() {
    AppState::getInstance().setTarget(nullptr);
    target_->shutdown();
  }

  bool waitReports(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return reports_.size() >= count; });
  }
  std::vector<ScanReport> reports() {
    std::lock_guard<std::mutex> guard(lock_);
    return reports_;
  }

 private:
  std::mutex lock_;  // guards reports_
  std::condition_variable changed_;
  std::vector<ScanReport> reports_;
  std::shared_ptr<QueuedMessageTarget> target_;
};

class DevScannerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::processLinks();
    platform::setTimeScale(0.2);
    platform::AdapterAddress lo;
    lo.description = "lo";
    lo.ip = "127.0.0.1";
    lo.mask = "255.0.0.0";
    platform::setNetworkAdaptersForTest(std::make_shared<FakeNetworkAdapters>(std::vector<platform::AdapterAddress>{lo}));
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
  ScanWindow window;

  // LAN runs although the Wi-Fi scanner cannot be prepared; Wi-Fi fails
  // with its init result; type 2 has no scanner and succeeds empty.
  const int types[] = {1, 3, 2};
  for (size_t i = 0; i < std::size(types); ++i) {
    AppState::getInstance().setScanType(types[i]);
    ASSERT_EQ(ScheduleManager::getInstance().runTask(kTaskDevScanner), 0);
    ASSERT_TRUE(window.waitReports(i + 1, 10s)) << types[i];
    // The report is sent from inside the run; wait until the task is idle again.
    ASSERT_TRUE(scantest::waitUntil(
        [] { return ScheduleManager::getInstance().getRunningTask(kWorkerDevInfo) == -1; }, 5s));
  }

  std::vector<ScanReport> reports = window.reports();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].result, 0);
  ASSERT_EQ(reports[0].devices.size(), 1u);
  EXPECT_EQ(reports[0].devices[0].name, "744443100001");
  EXPECT_EQ(reports[0].devices[0].connectType, 1u);
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
  EXPECT_EQ(device->core().requestCount(0x21, 0x33), 2u) << "both scans ran";
}

}  // namespace
