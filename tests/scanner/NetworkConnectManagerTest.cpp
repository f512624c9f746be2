#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/FakeBluetoothInquiry.h"
#include "platform/FakeNetworkAdapters.h"
#include "platform/FakeUsbDeviceList.h"
#include "platform/FakeWlanClient.h"
#include "scanner/NetworkConnectManager.h"
#include "support/SimLinks.h"

namespace {

constexpr int kWifi = static_cast<int>(ConnectType::Wifi);
constexpr int kBluetooth = static_cast<int>(ConnectType::Bluetooth);

// Hands out the clients a test prepared, one per createWlanClient call.
class WlanClients {
 public:
  explicit WlanClients(std::vector<std::shared_ptr<FakeWlanClient>> clients) : clients_(std::move(clients)) {
    platform::setWlanClientFactoryForTest([this] {
      size_t i = created_++;
      return clients_.at(std::min(i, clients_.size() - 1));
    });
  }
  ~WlanClients() { platform::setWlanClientFactoryForTest(nullptr); }
  size_t created() const { return created_.load(); }

 private:
  std::vector<std::shared_ptr<FakeWlanClient>> clients_;
  std::atomic<size_t> created_{0};
};

class NetworkConnectManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::processLinks();
    platform::setTimeScale(0.01);
    platform::setUsbDevicesForTest(std::make_shared<FakeUsbDeviceList>());
    useLoopbackAdapterOnly();
    bluetooth_ = std::make_shared<FakeBluetoothInquiry>();
    platform::setBluetoothInquiryForTest(bluetooth_);
  }
  void TearDown() override {
    platform::setUsbDevicesForTest(nullptr);
    platform::setNetworkAdaptersForTest(nullptr);
    platform::setBluetoothInquiryForTest(nullptr);
    platform::setTimeScale(1.0);
  }
  // Prepared and run as the scan task does it.
  static J2534DeviceList scan(NetworkConnectManager& manager, int type, int result = 0) {
    J2534DeviceList list;
    EXPECT_EQ(manager.init(), 0);
    EXPECT_EQ(manager.ScanJ2534Dev(list, type), result);
    return list;
  }

  std::shared_ptr<FakeBluetoothInquiry> bluetooth_;
};

// A failed enumeration closes the client and the next init opens another; a
// working client is kept for the scans after it.
TEST_F(NetworkConnectManagerTest, WifiScan_listsEveryWorkingInterfacesNetworksInOrder_reopensOnlyAfterAFailure) {
  auto failing = std::make_shared<FakeWlanClient>(std::vector<FakeWlanClient::Interface>{{"wlan0", {"A"}}});
  failing->failEnum = true;
  auto client = std::make_shared<FakeWlanClient>(std::vector<FakeWlanClient::Interface>{
      {"wlan0", {"KST-0012345678", "", "Home"}}, {"wlan2", {"A"}}, {"wlan3", {"B"}}, {"wlan1", {"Home", "Workshop"}}});
  client->failScan = {"wlan2"};
  client->failList = {"wlan3"};
  WlanClients clients({failing, client});
  NetworkConnectManager manager;

  EXPECT_TRUE(scan(manager, kWifi).empty());
  EXPECT_EQ(failing->calls().back(), "close");
  const J2534DeviceList first = scan(manager, kWifi);
  const J2534DeviceList second = scan(manager, kWifi);

  std::vector<std::string> names;
  for (const J2534Device& d : first) {
    names.push_back(d.name);
    EXPECT_EQ(d.connectType, static_cast<uint32_t>(kWifi));
    EXPECT_TRUE(d.port.empty());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"KST-0012345678", "", "Home", "Home", "Workshop"}));
  EXPECT_EQ(second.size(), first.size());
  EXPECT_EQ(clients.created(), 2u);
  const auto calls = client->calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "open"), 1);
  for (const std::string& call : failing->calls()) EXPECT_NE(call, "scan wlan0") << "the closed client was used again";
}

// An inquiry that finds nothing fails the scan; a failing inquiry is covered
// by the CLI's bt scan under the loopback guard.
TEST_F(NetworkConnectManagerTest, BluetoothScan_recordsNameAndBothAddressHalves_nothingFoundFails) {
  bluetooth_->succeedWith({{0x001A7DDA7112ull, "KST-BT-01"}, {0x00025B00A5A5ull, ""}});
  WlanClients clients({std::make_shared<FakeWlanClient>()});
  NetworkConnectManager manager;
  const J2534DeviceList list = scan(manager, kBluetooth);

  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].name, "KST-BT-01");
  EXPECT_EQ(list[0].addr, 0x7DDA7112u);
  EXPECT_EQ(list[0].addrEx, 0x1Au);
  EXPECT_EQ(list[0].connectType, static_cast<uint32_t>(kBluetooth));
  EXPECT_EQ(list[1].addr, 0x5B00A5A5u);
  EXPECT_EQ(list[1].addrEx, 0x0002u);
  EXPECT_EQ(bluetooth_->lengths(), std::vector<int>{4});

  bluetooth_->succeedWith({});
  EXPECT_TRUE(scan(manager, kBluetooth, -1).empty());
}

}  // namespace
