#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "SimPackages.h"
#include "VirtualDevice.h"
#include "WebServices.h"
#include "app/AppState.h"
#include "app/DeviceModel.h"
#include "firmware/CFirmwareUpDateUtils.h"
#include "firmware/UpgradeHarness.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/UsbDevices.h"
#include "scanner/SimLinks.h"
#include "schedule/ScheduleManager.h"
#include "session/SessionApi.h"
#include "support/LogCapture.h"
#include "task/FirmwareUpgrader.h"
#include "utils/LogUtils.h"
#include "utils/ZipUtils.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using upgradetest::Steps;

const Steps kBothUpgraded = {{0, 0}, {0, 5}, {0, 7}, {1, 0}, {1, 5}, {1, 7}};
const Steps kJ2534Upgraded = {{1, 0}, {1, 5}, {1, 7}};

bool isTransferFrame(const sim::RequestRecord& r) {
  return r.command == 0x24 && (r.subCommand == 0x02 || r.subCommand == 0x03 || r.subCommand == 0x04);
}

size_t transferFrames(const sim::VirtualDevice& device) {
  size_t n = 0;
  for (const auto& r : device.core().requestLog()) n += isTransferFrame(r) ? 1 : 0;
  return n;
}

// The links that carried the chunks of one image, in order of first use.
std::vector<sim::LinkKind> chunkLinks(const sim::VirtualDevice& device, const std::string& imageName) {
  std::vector<sim::LinkKind> links;
  bool current = false;
  for (const auto& r : device.core().requestLog()) {
    if (r.command == 0x24 && r.subCommand == 0x02) {
      current = r.data.size() > 2 && std::string(r.data.begin() + 2, r.data.end()).rfind(imageName, 0) == 0;
    }
    if (current && r.command == 0x24 && r.subCommand == 0x03 &&
        std::find(links.begin(), links.end(), r.link) == links.end()) {
      links.push_back(r.link);
    }
  }
  return links;
}

class FirmwareUpgraderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::processLinks();
    unsetenv("KESTREL_SERVICES");
    platform::setTimeScale(0.05);
    ASSERT_TRUE(web_.start());
  }
  void TearDown() override {
    closeAllSessions();
    device_.reset();
    platform::setTimeScale(1.0);
    ziputils::removeTree(platform::updateDir());
  }

  sim::VirtualDevice& start(sim::DeviceConfig config) {
    config.restartDelay = 300ms;
    device_.reset();
    device_ = scantest::startDevice(config);
    EXPECT_TRUE(device_);
    return *device_;
  }

  // The record the last device read left: the serial number, and for a
  // numeric one the package links of the software list.
  void setRecord(const std::string& serial) {
    DeviceInfo info;
    info.serialNumber = serial;
    if (!isAlphanumericSerial(serial)) {
      info.firmware.downloadLink = web_.firmwarePackageUrl("1", serial);
      info.j2534Firmware.downloadLink = web_.firmwarePackageUrl("3", serial);
    }
    AppState::getInstance().setDeviceInfo(info);
  }

  static Steps runUpgrade() {
    upgradetest::ProgressWindow window;
    FirmwareUpgrader upgrader;
    upgrader.run();
    return window.steps();
  }

  void expectHolds(sim::ImageSlot slot, const std::vector<uint8_t>& image) {
    sim::StoredImage stored = device_->core().image(slot);
    EXPECT_TRUE(stored.accepted);
    EXPECT_EQ(stored.md5, sim::md5Hex(image));
  }

  sim::WebServices web_;
  std::unique_ptr<sim::VirtualDevice> device_;
};

struct SuccessCase {
  const char* name;
  std::string serial;
  sim::DeviceMode mode;
  Steps steps;
  unsigned switches2505;  // 0x25 0x05 frames
  unsigned switches2407;  // 0x24 0x07 frames
  std::vector<sim::LinkKind> mainLinks;
  std::vector<sim::LinkKind> j2534Links;
};

void PrintTo(const SuccessCase& c, std::ostream* os) { *os << c.name; }

class FirmwareUpgradeSuccess : public FirmwareUpgraderTest, public ::testing::WithParamInterface<SuccessCase> {};

TEST_P(FirmwareUpgradeSuccess, DeviceHoldsExactlyTheOfferedImages) {
  const SuccessCase& c = GetParam();
  sim::VirtualDevice& device = start({.serialNumber = c.serial, .mode = c.mode});
  setRecord(c.serial);
  auto upgrader = std::make_shared<FirmwareUpgrader>();
  upgradetest::ProgressWindow window;
  ScheduleManager& scheduler = ScheduleManager::getInstance();
  scheduler.createWorker(kWorkerDevInfo);  // refused when an earlier test made it
  ASSERT_EQ(scheduler.addTask(kWorkerDevInfo, kTaskFirmwareUpgrader, upgrader), 0);
  LogCapture log;

  ASSERT_EQ(scheduler.runTask(kTaskFirmwareUpgrader), 0);
  ASSERT_TRUE(scantest::waitUntil([&] { return window.steps().size() >= c.steps.size(); }, 60s))
      << upgradetest::describe(window.steps());
  ASSERT_TRUE(scantest::waitUntil([&] { return scheduler.getRunningTask(kWorkerDevInfo) == -1; }, 10s));
  scheduler.removeTask(kWorkerDevInfo, kTaskFirmwareUpgrader);

  EXPECT_EQ(window.steps(), c.steps) << upgradetest::describe(window.steps()) << log.dump();
  const bool main = c.steps.size() == 6;
  if (main) {
    expectHolds(sim::ImageSlot::Firmware, web_.firmwareImage("1", c.serial));
    EXPECT_TRUE(log.contains("DownloadFirmware upgrade success, rlt : 0", logutils::kInfo));
  } else {
    EXPECT_TRUE(device.core().image(sim::ImageSlot::Firmware).name.empty());
    for (const std::string& line : web_.requestLog()) EXPECT_EQ(line.find("softType=1"), std::string::npos) << line;
    for (const std::string& line : web_.requestLog()) EXPECT_EQ(line.find("/1/"), std::string::npos) << line;
  }
  expectHolds(sim::ImageSlot::J2534, web_.firmwareImage("3", c.serial));
  EXPECT_TRUE(log.contains("j2534firmware upgrade success, rlt", logutils::kInfo));
  EXPECT_EQ(device.core().requestCount(0x25, 0x05), c.switches2505);
  EXPECT_EQ(device.core().requestCount(0x24, 0x07), c.switches2407);
  EXPECT_EQ(chunkLinks(device, "DOWNLOAD.BIN"), c.mainLinks);
  EXPECT_EQ(chunkLinks(device, "J2534.BIN"), c.j2534Links);
  // Numeric serial numbers get packages, the others images by the firmware-information service.
  const bool alphanumeric = isAlphanumericSerial(c.serial);
  EXPECT_EQ(web_.hits("/api/tools/firmwareInfo"), alphanumeric ? c.steps.size() / 3 : 0u);
}

using sim::DeviceMode;
using sim::LinkKind;
INSTANTIATE_TEST_SUITE_P(
    Upgrades, FirmwareUpgradeSuccess,
    ::testing::Values(
        // The switch keeps the network link; the J2534 part then finds the boot-mode port.
        SuccessCase{"AlphanumericOverTcp", sim::sampleSerial(0, true), DeviceMode::Normal, kBothUpgraded, 1, 0,
                    {LinkKind::Device}, {LinkKind::Serial}},
        SuccessCase{"AlphanumericInBootLoaderOverThePty", sim::sampleSerial(3, true), DeviceMode::BootLoader,
                    kBothUpgraded, 0, 0, {LinkKind::Serial}, {LinkKind::Serial}},
        SuccessCase{"Numeric", sim::sampleSerial(1, false), DeviceMode::Normal, kBothUpgraded, 2, 0,
                    {LinkKind::Serial}, {LinkKind::Serial}},
        SuccessCase{"Model4SkipsTheMainFirmware", sim::sampleSerial(4, true), DeviceMode::Normal, kJ2534Upgraded, 0,
                    1, {}, {LinkKind::Serial}},
        SuccessCase{"Model5", sim::sampleSerial(5, true), DeviceMode::Normal, kBothUpgraded, 0, 1,
                    {LinkKind::Serial}, {LinkKind::Serial}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FirmwareUpgraderTest, NoConnection_reportsPart2Step8Only) {
  // Plugged in, by the list, but nothing answers at the device's address.
  ASSERT_TRUE(platform::writeSimUsbList(scantest::processLinks().usbFile, {{0x1A86, 0x55DA, "", "silent device"}}));
  setRecord(sim::sampleSerial(0, true));
  LogCapture log;

  EXPECT_EQ(runUpgrade(), (Steps{{2, 8}}));

  EXPECT_TRUE(log.contains("create connect err", logutils::kWarn));
  EXPECT_TRUE(web_.requestLog().empty());
}

TEST_F(FirmwareUpgraderTest, MainPackageMissing_endsWithStep6AndLeavesJ2534Alone) {
  const std::string serial = sim::sampleSerial(0, false);
  sim::VirtualDevice& device = start({.serialNumber = serial});
  setRecord(serial);
  web_.addFault({.kind = sim::WebFaultKind::NotFound, .path = "/packages/firmware/1/*"});
  LogCapture log;

  EXPECT_EQ(runUpgrade(), (Steps{{0, 0}, {0, 6}}));

  EXPECT_TRUE(log.contains("prepare downLoadfirmware failed rlt : -1", logutils::kWarn));
  EXPECT_EQ(web_.hits("/packages/firmware/3/0/V2.20.zip"), 0u);
  EXPECT_TRUE(device.core().requestLog().empty());
}

TEST_F(FirmwareUpgraderTest, NumericWithoutDownloadLink_endsPreparationWithStep6) {
  const std::string serial = sim::sampleSerial(0, false);
  sim::VirtualDevice& device = start({.serialNumber = serial});
  DeviceInfo info;
  info.serialNumber = serial;
  AppState::getInstance().setDeviceInfo(info);

  EXPECT_EQ(runUpgrade(), (Steps{{0, 0}, {0, 6}}));

  EXPECT_EQ(transferFrames(device), 0u);
}

TEST_F(FirmwareUpgraderTest, Model4ImageNotFound_endsPreparationWithoutATransferFrame) {
  const std::string serial = sim::sampleSerial(4, true);
  sim::VirtualDevice& device = start({.serialNumber = serial});
  setRecord(serial);
  web_.addFault({.kind = sim::WebFaultKind::NotFound, .path = "/packages/image/*"});
  LogCapture log;

  EXPECT_EQ(runUpgrade(), (Steps{{1, 0}, {1, 6}}));

  EXPECT_TRUE(log.contains("prepare j2534firmware failed rlt : -1", logutils::kWarn));
  EXPECT_EQ(transferFrames(device), 0u);
  EXPECT_FALSE(fs::exists(CFirmwareUpDateUtils::imageFilePath("3")));
}

TEST_F(FirmwareUpgraderTest, MaliciousPackage_endsPreparationAndWritesNothingOutside) {
  const std::string serial = sim::sampleSerial(0, false);
  sim::VirtualDevice& device = start({.serialNumber = serial});
  upgradetest::FileServer files;
  ASSERT_TRUE(files.ok());
  const std::string outside = platform::joinPath(platform::workRoot(), "config");
  fs::create_directories(outside);
  const auto before = upgradetest::treeOf(outside);
  files.serve("/DOWNLOAD_BIN.zip",
              upgradetest::makeZip(platform::joinPath(platform::workRoot(), "scratch.zip"),
                                   {{"Diagnostic\\Configure\\Download\\DOWNLOAD.BIN", "image"},
                                    {"..\\..\\config\\services.ini", "[Services]\nFirmwareInfoUrl=http://evil\n"}}));
  DeviceInfo info;
  info.serialNumber = serial;
  info.firmware.downloadLink = files.url("/DOWNLOAD_BIN.zip");
  AppState::getInstance().setDeviceInfo(info);
  LogCapture log;

  EXPECT_EQ(runUpgrade(), (Steps{{0, 0}, {0, 6}}));

  EXPECT_TRUE(log.contains("prepare downLoadfirmware failed rlt : -2", logutils::kWarn));
  EXPECT_EQ(upgradetest::treeOf(outside), before);
  EXPECT_EQ(transferFrames(device), 0u);
}

TEST_F(FirmwareUpgraderTest, StaleImage_isNeverSentForANewPackage) {
  const std::string serial = sim::sampleSerial(0, false);
  sim::VirtualDevice& device = start({.serialNumber = serial});
  // An earlier attempt unpacked a valid-looking image.
  upgradetest::writeFile(CFirmwareUpDateUtils::imageFilePath("1"), sim::buildFirmwareImage("V0.9", 0x60000));
  upgradetest::FileServer files;
  ASSERT_TRUE(files.ok());
  files.serve("/DOWNLOAD_BIN.zip", upgradetest::makeZip(platform::joinPath(platform::workRoot(), "scratch.zip"),
                                                        {{"Diagnostic\\Configure\\readme.txt", "moved"}}));
  DeviceInfo info;
  info.serialNumber = serial;
  info.firmware.downloadLink = files.url("/DOWNLOAD_BIN.zip");
  AppState::getInstance().setDeviceInfo(info);

  EXPECT_EQ(runUpgrade(), (Steps{{0, 0}, {0, 5}, {0, 8}}));

  EXPECT_EQ(transferFrames(device), 0u);
  EXPECT_TRUE(device.core().image(sim::ImageSlot::Firmware).name.empty());
}

TEST_F(FirmwareUpgraderTest, RefusedMainDigest_endsWithStep8BeforeJ2534) {
  const std::string serial = sim::sampleSerial(0, true);
  sim::VirtualDevice& device = start({.serialNumber = serial});
  setRecord(serial);
  device.addFault({.kind = sim::FaultKind::RefusedStatus, .command = 0x24, .subCommand = 0x04});
  LogCapture log;

  EXPECT_EQ(runUpgrade(), (Steps{{0, 0}, {0, 5}, {0, 8}}));

  EXPECT_TRUE(log.contains("DownloadFirmware upgrade failed, rlt : -1", logutils::kWarn));
  EXPECT_FALSE(device.core().image(sim::ImageSlot::Firmware).accepted);
  EXPECT_EQ(web_.requestLog().size(), 2u);  // firmware information and image of part 0 only
}

}  // namespace
