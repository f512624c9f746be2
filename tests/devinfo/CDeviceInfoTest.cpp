#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>

#include "platform/Clock.h"
#include "platform/UsbDevices.h"
#include "devinfo/CDeviceInfo.h"
#include "support/InfoWindow.h"
#include "support/ScriptedDevice.h"
#include "support/SimLinks.h"
#include "session/SessionManager.h"
#include "support/LogCapture.h"
#include "utils/LogFacade.h"

namespace {

using namespace std::chrono_literals;
using infotest::Bytes;

class CDeviceInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::processLinks();
    platform::setTimeScale(0.2);
  }
  void TearDown() override {
    SessionManager::getInstance()->closeAllSessions();
    platform::setTimeScale(1.0);
  }

  // Connects to whatever device the test set up and reads it.
  bool read(DeviceInfo& info) {
    CDeviceInfo device;
    EXPECT_EQ(device.createConnect(3000), 0) << "no connection";
    return device.readDevVer(info);  // false without a connection
  }
};

TEST_F(CDeviceInfoTest, ReadDevVer_fillsSerialVersionsAndSystemTexts) {
  auto device = scantest::startDevice({.hardwareVersion = "H9", .firmwareVersion = "V1.10", .bootVersion = "B9",
                                       .protocolVersion = "P9", .j2534Version = "V2.10"});
  ASSERT_TRUE(device);
  // A device still starting up answers its mode late, but within the mode read's time-out.
  device->addFault(sim::faultOn(kCmdReadMode, {.kind = sim::FaultKind::LateReply, .delay = 3000ms}));
  DeviceInfo info;

  ASSERT_TRUE(read(info));

  EXPECT_EQ(info.firmware.version, "V1.10");
  EXPECT_EQ(info.j2534Firmware.version, "V2.10");
  EXPECT_EQ(info.platform.packageName, "P1");
  EXPECT_EQ(info.platform.version, "2.0");
  EXPECT_EQ(info.system.version, "205");
  EXPECT_NE(info.sessionId, CDeviceInfo::kNoSession);
  // Neither the second way to the serial number nor a mode switch is needed.
  const std::pair<uint16_t, unsigned> requests[] = {{0x2114, 1}, {0x2133, 1}, {0x2103, 0}, {0x2105, 1}, {0x2C0A, 1}, {0x2111, 0}};
  for (const auto& [kind, count] : requests) {
    EXPECT_EQ(device->core().requestCount(kind >> 8, kind & 0xFF), count) << std::hex << kind;
  }
}

// The serial number comes from the second request when the first one gives
// none; a number of the wrong length fails the read and is kept as it came.
TEST_F(CDeviceInfoTest, SerialNumber_fromTheSecondRequestWhenTheFirstIsUnusable) {
  struct Case {
    const char* name;
    std::string serial;
    std::optional<sim::FaultKind> firstRequest;  // fault on 0x21 0x33
    bool readOk;
  };
  const Case cases[] = {
      {"first unanswered", "744443100001", sim::FaultKind::NoReply, true},
      {"first without data", "744443100001", sim::FaultKind::EmptyReply, true},
      {"wrong length", "74444310001", std::nullopt, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto device = scantest::startDevice({.serialNumber = c.serial, .identityText = "NOT-THE-SERIAL"});
    ASSERT_TRUE(device);
    if (c.firstRequest) device->addFault(sim::faultOn(kCmdReadSerial, {.kind = *c.firstRequest}));
    infotest::InfoWindow window;
    DeviceInfo info;

    EXPECT_EQ(read(info), c.readOk);

    EXPECT_EQ(info.serialNumber, c.serial);
    EXPECT_EQ(device->core().requestCount(kCmdReadIdentity), 1u);
    EXPECT_EQ(device->core().requestCount(kCmdReadVersions), c.readOk ? 1u : 0u);
    EXPECT_EQ(info.firmware.version, c.readOk ? "V1.10" : "");
    EXPECT_EQ(window.countText("ERR_READ_DEV_VER: 0x61,0x03"), c.readOk ? 0u : 1u);
  }
}

// Q-TRAK devices are read in J2534 mode; model 4 has no system to read. A
// refused switch fails the read and logs the device's code.
TEST_F(CDeviceInfoTest, QtrakDevices_switchToJ2534_model4WithoutSystemRead) {
  struct Case {
    const char* serial;
    sim::DeviceMode mode;
    uint8_t refusal;  // status of a refused switch; 0: none
    unsigned systemReads;
    unsigned switchRequests;
  };
  const Case cases[] = {
      {"5RWM80000001", sim::DeviceMode::Normal, 0, 0, 1},  // model 4
      {"5RWM80000001", sim::DeviceMode::J2534, 0, 0, 0},   // already switched
      {"5RWM84200001", sim::DeviceMode::Normal, 0, 1, 1},  // model 5 has a system
      {"5RWM80000001", sim::DeviceMode::Normal, 5, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.serial + std::string(c.refusal ? " refused" : ""));
    auto device = scantest::startDevice({.serialNumber = c.serial, .mode = c.mode});
    ASSERT_TRUE(device);
    if (c.refusal) {
      device->addFault(sim::faultOn(kCmdSwitchToJ2534, {.kind = sim::FaultKind::RefusedStatus, .status = c.refusal}));
    }
    LogCapture log;
    DeviceInfo info;

    EXPECT_EQ(read(info), c.refusal == 0);

    EXPECT_EQ(info.serialNumber, c.serial);
    EXPECT_EQ(device->core().requestCount(kCmdReadSystemVersion), c.systemReads);
    EXPECT_EQ(device->core().requestCount(kCmdSwitchToJ2534), c.switchRequests);
    EXPECT_EQ(device->core().config().mode == sim::DeviceMode::J2534, c.refusal == 0);
    EXPECT_EQ(log.contains("6111 has errCode : 5", logfacade::kWarn), c.refusal == 5) << log.dump();
    // The mode read of the device read plus the one of the switch.
    EXPECT_EQ(device->core().requestCount(kCmdReadMode), 2u);
  }
}

TEST_F(CDeviceInfoTest, SystemUnitSilent_readStillSucceeds) {
  auto device = scantest::startDevice({.hasSystem = false});
  ASSERT_TRUE(device);
  infotest::InfoWindow window;
  DeviceInfo info;

  EXPECT_TRUE(read(info));

  EXPECT_TRUE(info.system.packageName.empty());
  EXPECT_EQ(window.countText("ERR_READ_DEV_VER: 0x6C,0x0A"), 1u);
}

TEST_F(CDeviceInfoTest, CreateConnect_waitsForALateDeviceWithinItsTimeOut) {
  platform::setTimeScale(0.5);
  for (int timeout : {3000, 5000}) {
    SCOPED_TRACE(timeout);
    // Plugged in but not answering yet: the default session goes to the
    // device's fixed address.
    ASSERT_TRUE(platform::writeSimUsbList(scantest::processLinks().usbFile, {{0x1A86, 0x55DA, "", "late device"}}));
    std::unique_ptr<sim::VirtualDevice> device;
    // The device comes up 3.5 s (scaled) after the connection attempt begins.
    auto late = std::async(std::launch::async, [&device] {
      platform::sleepFor(3500ms);
      device = scantest::startDevice();
    });
    CDeviceInfo reader;
    int rc = reader.createConnect(timeout);
    late.wait();
    ASSERT_TRUE(device);
    EXPECT_EQ(rc, timeout == 3000 ? -1 : 0);
    SessionManager::getInstance()->closeAllSessions();
  }
}

TEST_F(CDeviceInfoTest, SystemTexts_splitIntoPlatformAndSystem) {
  struct Case {
    const char* first;
    const char* second;
    const char* platformName;
    const char* platformVersion;
    const char* systemVersion;
    const char* systemPackage;
  };
  // Fields a text does not set keep the earlier values "old-pv" and "old-sv".
  const Case cases[] = {
      {"P1-2.0", "V3.10_P1-205", "P1", "2.0", "205", "V3.10"},
      {"ABC", "X_ABC-1", "ABC", "old-pv", "1", "X"},
      {"P1-2.0", "V3.10_P1", "P1", "2.0", "old-sv", "V3.10"},  // no dash in the second text
      {"P1-2.0", "P1-205", "P1", "2.0", "205", "P1"},          // platform name at the start
      {"", "V3.10_P1-205", "", "old-pv", "205", "V3.10_P1"},   // empty platform name
      {"Q9-1", "V3.10_P1-205", "Q9", "1", "205", "V3.10_P1"},  // platform name not in it
      {"P1-", "-", "P1", "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.first) + " / " + c.second);
    DeviceInfo info;
    info.platform.version = "old-pv";
    info.system.version = "old-sv";

    applySystemTexts(c.first, c.second, info);

    EXPECT_EQ(info.platform.packageName, c.platformName);
    EXPECT_EQ(info.platform.version, c.platformVersion);
    EXPECT_EQ(info.system.version, c.systemVersion);
    EXPECT_EQ(info.system.packageName, c.systemPackage);
  }
}

// Replies whose declared lengths run past their data, or carry none at all:
// the read must neither crash nor take text from beyond the reply.
TEST_F(CDeviceInfoTest, HostileReplies_areRejectedWithoutReadingPastThem) {
  struct Case {
    const char* name;
    uint8_t cmd;
    uint8_t sub;
    Bytes data;
    bool readOk;
    const char* serial;
    const char* firmware;
    const char* systemPackage;
  };
  const Case cases[] = {
      {"mode without data", 0x21, 0x14, {}, false, "", "", ""},
      {"serial length past end", 0x21, 0x33, {0xC8, '5', 'R'}, false, "", "", ""},
      {"second serial, first length past end", 0x21, 0x03, {0xFF, 0xFF, 'A'}, false, "", "", ""},
      {"second serial, second length past end", 0x21, 0x03, {0x00, 0x01, 'A', 0x7F, 0xFF, '5', 'R'}, false, "", "",
       ""},
      {"version field past end", 0x21, 0x05, {0x00, 0x03, 0, 'H', '1', 0x40, 0x00, 0, 'V'}, true, "5RHM10000001",
       "", "V3.10"},
      {"version length cut in half", 0x21, 0x05, {0x00}, true, "5RHM10000001", "", "V3.10"},
      {"system first text past end", 0x2C, 0x0A, {0x40, 'P', '1'}, true, "5RHM10000001", "V1.10", ""},
      {"system second text past end", 0x2C, 0x0A, {0x02, 'P', '1', 0x50, 'V'}, true, "5RHM10000001", "V1.10", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    infotest::ScriptedDevice scripted;
    scripted.answerLikeADevice();
    // The sound second way of the serial number is not offered here.
    if (c.cmd == 0x21 && c.sub == 0x33) scripted.silence(0x21, 0x03);
    if (c.cmd == 0x21 && c.sub == 0x03) scripted.silence(0x21, 0x33);
    scripted.reply(c.cmd, c.sub, c.data);
    DeviceInfo info;

    EXPECT_EQ(read(info), c.readOk);

    EXPECT_EQ(info.serialNumber, c.serial);
    EXPECT_EQ(info.firmware.version, c.firmware);
    EXPECT_EQ(info.system.packageName, c.systemPackage);
    SessionManager::getInstance()->closeAllSessions();
  }
}

}  // namespace
