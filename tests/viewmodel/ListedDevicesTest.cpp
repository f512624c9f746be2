#include <gtest/gtest.h>

#include "connection/ConnectionFactory.h"
#include "viewmodel/ListedDevices.h"

namespace {

J2534Device device(ConnectType type, std::string name) {
  J2534Device d;
  d.connectType = static_cast<uint32_t>(type);
  d.name = std::move(name);
  d.port = "/dev/ttyACM3";
  d.addr = 0x0A000002;
  d.addrEx = 7;
  return d;
}

TEST(ListedDevices, KeepsOnlyKnownSerialPrefixesOnEveryLink) {
  const J2534DeviceList found = {device(ConnectType::Lan, "5RHMA0000001"), device(ConnectType::Serial, "744363100001"),
                                 device(ConnectType::Wifi, "5RHM"), device(ConnectType::Bluetooth, "X5RHMA000001"),
                                 device(ConnectType::Lan, "99999000001")};
  const J2534DeviceList listed = listedDevices(found);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].name, "5RHMA0000001");
  EXPECT_EQ(listed[1].name, "744363100001");
}

// Each link stores its own way of reaching the device; what the link does not
// use keeps its saved value, and a Wi-Fi network is saved as the LAN link.
TEST(ListedDevices, ChoiceStoresWhatItsLinkReconnectsBy) {
  SettingsRecord before;
  before.serial = "/dev/ttyUSB9";
  before.Addr = 0x7F000001;
  before.AddrEx = 3;
  struct Case {
    ConnectType type;
    uint32_t savedType;
    const char* serial;
    uint32_t addr, addrEx;
  };
  const Case cases[] = {{ConnectType::Serial, 0, "/dev/ttyACM3", 0x7F000001, 3},
                        {ConnectType::Lan, 1, "/dev/ttyUSB9", 0x0A000002, 0},
                        {ConnectType::Bluetooth, 4, "/dev/ttyUSB9", 0x0A000002, 7},
                        {ConnectType::Wifi, 1, "/dev/ttyUSB9", 0x7F000001, 3}};
  for (const Case& c : cases) {
    const SettingsRecord after = withChosenDevice(before, device(c.type, std::string(200, 'N')));
    EXPECT_EQ(after.TransferType, c.savedType) << static_cast<int>(c.type);
    EXPECT_EQ(after.Name, std::string(kSettingsTextBuffer - 1, 'N'));
    EXPECT_EQ(after.serial, c.serial) << static_cast<int>(c.type);
    EXPECT_EQ(after.Addr, c.addr) << static_cast<int>(c.type);
    EXPECT_EQ(after.AddrEx, c.addrEx) << static_cast<int>(c.type);
  }
}

}  // namespace
