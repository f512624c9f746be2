#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <functional>
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
#include "support/UpgradeHarness.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/UsbDevices.h"
#include "support/SimLinks.h"
#include "session/SessionApi.h"
#include "support/LogCapture.h"
#include "task/FirmwareUpgrader.h"
#include "utils/LogFacade.h"
#include "utils/ZipUtils.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using upgradetest::Steps;

const Steps kBothUpgraded = {{0, 0}, {0, 5}, {0, 7}, {1, 0}, {1, 5}, {1, 7}};
const Steps kJ2534Upgraded = {{1, 0}, {1, 5}, {1, 7}};

SoftwareSlot offered(const char* version, const char* latestVersion) {
  SoftwareSlot slot;
  slot.version = version;
  slot.latestVersion = latestVersion;
  return slot;
}

// Whether a web request asks for the software of this type.
bool asksFor(const std::string& line, const std::string& type) {
  return line.find("softType=" + type) != std::string::npos || line.find("/firmware/" + type + "/") != std::string::npos ||
         line.find("/image/" + type + "/") != std::string::npos;
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

  // The record the last device read left: the serial number, versions older
  // than those online, and for a numeric one the package links of the
  // software list.
  void setRecord(const std::string& serial) {
    DeviceInfo info;
    info.serialNumber = serial;
    info.firmware = offered("V1.10", "V1.20");
    info.j2534Firmware = offered("V2.10", "V2.20");
    if (!isAlphanumericSerial(serial)) {
      info.firmware.downloadLink = web_.firmwarePackageUrl("1", serial);
      info.j2534Firmware.downloadLink = web_.firmwarePackageUrl("3", serial);
    }
    AppState::getInstance().setDeviceInfo(info);
  }

  static Steps runUpgrade(bool force = false) {
    upgradetest::ProgressWindow window;
    FirmwareUpgrader upgrader;
    if (force) upgrader.setParam(FirmwareUpgrader::kParamForce, "1");
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
  LogCapture log;

  const Steps steps = runUpgrade();

  EXPECT_EQ(steps, c.steps) << upgradetest::describe(steps) << log.dump();
  const bool main = c.steps.size() == 6;
  if (main) {
    expectHolds(sim::ImageSlot::Firmware, web_.firmwareImage("1", c.serial));
  } else {
    EXPECT_TRUE(device.core().image(sim::ImageSlot::Firmware).name.empty());
    for (const std::string& line : web_.requestLog()) EXPECT_FALSE(asksFor(line, "1")) << line;
  }
  expectHolds(sim::ImageSlot::J2534, web_.firmwareImage("3", c.serial));
  EXPECT_EQ(device.core().requestCount(kCmdEnterBoot), c.switches2505);
  EXPECT_EQ(device.core().requestCount(kCmdQtrakEnterBoot), c.switches2407);
  EXPECT_EQ(chunkLinks(device, "DOWNLOAD.BIN"), c.mainLinks);
  EXPECT_EQ(chunkLinks(device, "J2534.BIN"), c.j2534Links);
  // Numeric serial numbers get packages, the others images by the firmware-information service.
  const bool alphanumeric = isAlphanumericSerial(c.serial);
  EXPECT_EQ(web_.hits("/api/tools/firmwareInfo"), alphanumeric ? c.steps.size() / 3 : 0u);
  // Nothing fetched outlives the run, where another run could take it for its own.
  EXPECT_TRUE(upgradetest::treeOf(platform::updateDir()).empty());
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

// A part the version rule does not offer is reported as not sent and never
// reaches the device; the user's force sends it all the same.
TEST_F(FirmwareUpgraderTest, PartsNotOffered_areNotSentUnlessForced) {
  struct Case {
    const char* name;
    SoftwareSlot firmware;
    SoftwareSlot j2534;
    bool force;
    Steps steps;
  };
  const Case cases[] = {
      {"J2534 up to date", offered("V1.10", "V1.20"), offered("V2.20", "2.20"), false, {{0, 0}, {0, 5}, {0, 7}, {1, 9}}},
      {"main newer than online", offered("V1.30", "V1.20"), offered("V2.9", "V2.10"), false,
       {{0, 9}, {1, 0}, {1, 5}, {1, 7}}},
      {"newest versions unknown", offered("V1.10", ""), offered("V2.10", ""), false, {{0, 9}, {1, 9}}},
      {"both up to date, forced", offered("V1.20", "V1.20"), offered("V2.20", "V2.20"), true, kBothUpgraded},
  };
  const std::string serial = sim::sampleSerial(0, true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::VirtualDevice& device = start({.serialNumber = serial});
    DeviceInfo info;
    info.serialNumber = serial;
    info.firmware = c.firmware;
    info.j2534Firmware = c.j2534;
    AppState::getInstance().setDeviceInfo(info);

    const Steps steps = runUpgrade(c.force);

    EXPECT_EQ(steps, c.steps) << upgradetest::describe(steps);

    for (auto [slot, part] : {std::pair{sim::ImageSlot::Firmware, 0}, {sim::ImageSlot::J2534, 1}}) {
      const bool sent = std::find(c.steps.begin(), c.steps.end(), std::pair{part, 7}) != c.steps.end();
      EXPECT_EQ(!device.core().image(slot).name.empty(), sent) << "part " << part;
    }
    if (c.steps.size() == 2) {
      EXPECT_EQ(device.core().requestCount(kCmdEnterBoot), 0u) << "no boot entry";
    }
    closeAllSessions();
  }
}

TEST_F(FirmwareUpgraderTest, NoConnection_reportsPart2Step8Only) {
  // Plugged in, by the list, but nothing answers at the device's address.
  ASSERT_TRUE(platform::writeSimUsbList(scantest::processLinks().usbFile, {{0x1A86, 0x55DA, "", "silent device"}}));
  setRecord(sim::sampleSerial(0, true));

  EXPECT_EQ(runUpgrade(), (Steps{{2, 8}}));
  EXPECT_TRUE(web_.requestLog().empty());
}

// What the device was sent is what failed: each case ends its part with the
// step the failure calls for, and the device accepted nothing.
TEST_F(FirmwareUpgraderTest, PartFailures_endWithTheirStepAndNothingAccepted) {
  struct Case {
    const char* name;
    std::string serial;
    std::vector<upgradetest::ZipItem> package;  // served as the main firmware package when not empty
    std::function<void(sim::WebServices&, DeviceInfo&)> arrange;
    Steps steps;
    const char* warning;
  };
  const std::string numeric = sim::sampleSerial(0, false);
  const std::string absolute = "/tmp/kestrel-firmware-abs-" + std::to_string(::getpid());
  const std::string image = "Diagnostic\\Configure\\Download\\DOWNLOAD.BIN";
  auto webFault = [](const char* path) {
    return [=](sim::WebServices& web, DeviceInfo&) { web.addFault({.kind = sim::WebFaultKind::NotFound, .path = path}); };
  };
  const Case cases[] = {
      {"main package missing", numeric, {}, webFault("/packages/firmware/1/*"), {{0, 0}, {0, 6}},
       "prepare downLoadfirmware failed rlt : -1"},
      {"numeric without download link", numeric, {},
       [](sim::WebServices&, DeviceInfo& info) { info.firmware.downloadLink.clear(); }, {{0, 0}, {0, 6}},
       "prepare downLoadfirmware failed rlt : -1"},
      {"model-4 image not found", sim::sampleSerial(4, true), {}, webFault("/packages/image/*"), {{1, 0}, {1, 6}},
       "prepare j2534firmware failed rlt : -1"},
      {"package entry into parent folders", numeric, {{image, "img"}, {"..\\..\\outside\\evil.txt", "x"}}, nullptr,
       {{0, 0}, {0, 6}}, "prepare downLoadfirmware failed rlt : -2"},
      {"package entry with absolute path", numeric, {{image, "img"}, {absolute + "/evil.txt", "x"}}, nullptr,
       {{0, 0}, {0, 6}}, "prepare downLoadfirmware failed rlt : -2"},
      {"package link out of its folder", numeric,
       {{"Diagnostic/Configure/Download", "../../../../outside", S_IFLNK | 0777}, {image, "img"}}, nullptr,
       {{0, 0}, {0, 6}}, "prepare downLoadfirmware failed rlt : -2"},
      // An earlier attempt unpacked a valid-looking image; this package has none.
      {"stale image, package without one", numeric, {{"Diagnostic\\readme.txt", "moved"}},
       [](sim::WebServices&, DeviceInfo&) {
         upgradetest::writeFile(CFirmwareUpDateUtils::imageFilePath("1"), sim::buildFirmwareImage("V0.9", 0x60000));
       }, {{0, 0}, {0, 5}, {0, 8}}, "DownloadFirmware upgrade failed, rlt : -1"},
  };
  const std::string outside = platform::joinPath(platform::workRoot(), "outside");
  upgradetest::FileServer files;
  ASSERT_TRUE(files.ok());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::VirtualDevice& device = start({.serialNumber = c.serial});
    web_.clearFaults();
    setRecord(c.serial);
    DeviceInfo info = AppState::getInstance().deviceInfo();
    fs::create_directories(outside);
    if (!c.package.empty()) {
      files.serve("/DOWNLOAD_BIN.zip", upgradetest::makeZip(platform::joinPath(platform::workRoot(), "scratch.zip"), c.package));
      info.firmware.downloadLink = files.url("/DOWNLOAD_BIN.zip");
    }
    if (c.arrange) c.arrange(web_, info);
    AppState::getInstance().setDeviceInfo(info);
    const size_t webBefore = web_.requestLog().size();
    LogCapture log;

    EXPECT_EQ(runUpgrade(), c.steps);

    EXPECT_TRUE(log.contains(c.warning, logfacade::kWarn)) << log.dump();
    EXPECT_EQ(device.core().requestCount(kCmdImageAnnounce) + device.core().requestCount(kCmdImageChunk), 0u);
    EXPECT_FALSE(device.core().image(sim::ImageSlot::Firmware).accepted);
    EXPECT_FALSE(device.core().image(sim::ImageSlot::J2534).accepted);
    EXPECT_TRUE(upgradetest::treeOf(outside).empty());
    EXPECT_FALSE(fs::exists(absolute));
    // What the run fetched went with it.
    for (const std::string& p : upgradetest::treeOf(platform::updateDir())) EXPECT_NE(p.rfind("firmware-", 0), 0u) << p;
    if (c.steps.front().first == 0) {
      // The J2534 firmware is not touched after the main firmware failed.
      const auto requests = web_.requestLog();
      for (size_t i = webBefore; i < requests.size(); ++i) EXPECT_FALSE(asksFor(requests[i], "3")) << requests[i];
    }
    closeAllSessions();
    ziputils::removeTree(platform::updateDir());
  }
}

// The record names a device that, attached at the upgrade, keeps its serial
// number to itself: nothing may reach it, no boot entry, no image. (One with
// another number is the reliability table's "swapped device".)
TEST_F(FirmwareUpgraderTest, DeviceHidingItsSerialNumber_receivesNothing) {
  setRecord(sim::sampleSerial(0, true));
  sim::VirtualDevice& device = start({.serialNumber = sim::sampleSerial(0, true)});
  device.setSilent(kCmdReadSerial);
  LogCapture log;

  EXPECT_EQ(runUpgrade(), (Steps{{0, 0}, {0, 6}}));

  EXPECT_TRUE(log.contains("device does not tell its serial number, upgrade refused", logfacade::kWarn)) << log.dump();
  for (const auto& r : device.core().requestLog()) {
    EXPECT_FALSE(r.command == 0x24 || r.command == 0x25) << std::hex << int(r.command) << " " << int(r.subCommand);
  }
  EXPECT_TRUE(web_.requestLog().empty()) << "nothing is even fetched for it";
}

}  // namespace
