#include <gtest/gtest.h>

#include <memory>

#include "support/SimLinks.h"
#include "connection/ConnectionFactory.h"
#include "platform/UsbDevices.h"
#include "session/CurrentDevice.h"
#include "session/SessionSelection.h"
#include "session/SessionApi.h"
#include "platform/FakeUsbDeviceList.h"
#include "utils/Settings.h"

namespace {

constexpr uint32_t kLoopbackAddr = 0x0100007F;  // 127.0.0.1 in the stored form

class SessionSelectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    links_ = &scantest::processLinks();
    platform::setTimeScale(0.1);
    CurrentDevice::getInstance().setConfigSerialPort("");
    ASSERT_TRUE(refreshSettingsFile());
  }
  void TearDown() override {
    closeAllSessions();
    platform::setUsbDevicesForTest(nullptr);
    platform::setTimeScale(1.0);
  }

  const scantest::ProcessLinks* links_ = nullptr;
};

TEST_F(SessionSelectionTest, NormalDeviceAttached_usesTheFixedAddressAndItsConfigPort) {
  auto device = scantest::startDevice();
  ASSERT_TRUE(device);

  // No worker runs here, so nothing connects and every id stays comparable.
  EXPECT_EQ(createDefaultSession(), createNetworkSession(kLoopbackAddr, links_->devicePort, 0));
  EXPECT_EQ(createConfigSession(), createNetworkSession(kLoopbackAddr, links_->configPort, 0));
  EXPECT_TRUE(CurrentDevice::getInstance().configSerialPort().empty());
}

// Without a USB device the default session follows the stored link.
TEST_F(SessionSelectionTest, SessionByType_picksTheEndpointOfEachType_defaultFollowsTheStoredLink) {
  platform::setUsbDevicesForTest(std::make_shared<FakeUsbDeviceList>());
  SettingsRecord stored;
  stored.Addr = 0x0264A8C0;  // 192.168.100.2
  stored.AddrEx = 0x1A;
  ASSERT_TRUE(saveSettings(stored));

  EXPECT_EQ(createSessionByType(0), createSerialSession(""));
  EXPECT_EQ(createSessionByType(1), createNetworkSession(kLoopbackAddr, links_->devicePort, 0));
  EXPECT_EQ(createSessionByType(3), createNetworkSession(0x0264A8C0, links_->devicePort, 0));
  EXPECT_EQ(createSessionByType(4), createBluetoothSession("0x1a0264a8c0"));
  for (int type : {2, 5, -1}) EXPECT_EQ(createSessionByType(type), -1) << type;
  for (int type : {3, 4}) {
    stored.TransferType = static_cast<uint32_t>(type);
    ASSERT_TRUE(saveSettings(stored));
    EXPECT_EQ(createDefaultSession(), createSessionByType(type)) << type;
  }
}

// Any of the six device pairs is a device, tty or not; only the boot pair
// gives the boot port, even one that cannot be opened.
TEST_F(SessionSelectionTest, UsbPresence_anyOfTheSixDevicePairs_bootPortOnlyFromTheBootPair) {
  auto list = std::make_shared<FakeUsbDeviceList>();
  platform::setUsbDevicesForTest(list);
  EXPECT_FALSE(isUsbDevicePresent());

  const std::pair<uint16_t, uint16_t> devicePairs[] = {{0x045B, 0x1127}, {0x0502, 0x3210}, {0x0000, 0x0002},
                                                       {0x0525, 0xA4A7}, {0x1A86, 0x55DA}, {0x0525, 0xA4A2}};
  for (auto [vendor, product] : devicePairs) {
    list->setDevices({{0x1D6B, 0x0002, "", "root hub"}, {vendor, product, "", ""}});
    EXPECT_TRUE(isUsbDevicePresent()) << std::hex << vendor << ":" << product;
  }
  list->setDevices({{0x1A86, 0x7523, "/dev/ttyUSB0", ""}, {0x0525, 0xA4A8, "", ""}, {0x0002, 0x0000, "", ""}});
  EXPECT_FALSE(isUsbDevicePresent());

  CurrentDevice& device = CurrentDevice::getInstance();
  device.setConfigSerialPort("/dev/ttyACM7");
  list->setDevices({{0x1A86, 0x55DA, "/dev/kestrel-no-such-tty", ""}});
  EXPECT_FALSE(device.findBootPort());
  EXPECT_EQ(device.configSerialPort(), "/dev/ttyACM7");
  list->setDevices({{0x0000, 0x0002, "/dev/kestrel-no-such-tty", ""}});
  EXPECT_TRUE(device.findBootPort());
  EXPECT_EQ(device.configSerialPort(), "/dev/kestrel-no-such-tty");
}

}  // namespace
