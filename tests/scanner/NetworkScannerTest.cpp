#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "FakeLanHost.h"
#include "platform/FakeNetworkAdapters.h"
#include "scanner/NetworkScanner.h"
#include "support/FrameBytes.h"
#include "support/SimLinks.h"
#include "support/WindowRecorder.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

const std::string kSerial = "744443100001";
const uint32_t kDeviceAddr = htonl(0x7F000001);  // 127.0.0.1
const uint32_t kOtherHostAddr = htonl(0x7F000003);

using testsupport::frameBytes;
using testsupport::replyBytes;

Bytes withSum(Bytes b) {
  uint8_t sum = 0;
  for (size_t i = 2; i < b.size(); ++i) sum ^= b[i];
  b.push_back(sum);
  return b;
}

// The shortest answer the link check takes: twelve bytes.
const Bytes kShortestLink = frameBytes(0, 0x6C, 0x2A, {0x01, 0x00}, 0xF8, 0xF1);

Bytes nameReply(const std::string& name) {
  Bytes data = {static_cast<uint8_t>(name.size() + 1)};
  data.insert(data.end(), name.begin(), name.end());
  data.push_back(0);
  return replyBytes(0x61, 0x33, data);
}

Bytes linkReply(const std::string& name) {
  Bytes data = {0x01, static_cast<uint8_t>(name.size())};
  data.insert(data.end(), name.begin(), name.end());
  return replyBytes(0x6C, 0x2A, data);
}

bool isLinkRequest(const Bytes& request) { return request.size() > 8 && request[7] == 0x2C && request[8] == 0x2A; }

TEST(LinkReplyCheck, AcceptsOnlyTheLinkAnswerLayout) {
  Bytes valid = linkReply("KST-LINK");
  auto changed = [&](size_t at, uint8_t value) {
    Bytes b = valid;
    b[at] = value;
    return b;
  };
  struct Case {
    const char* what;
    Bytes bytes;
    bool valid;
  } cases[] = {
      {"link answer", valid, true},
      {"twelve bytes", kShortestLink, true},
      {"eleven bytes", Bytes(kShortestLink.begin(), kShortestLink.end() - 1), false},
      {"empty", {}, false},
      {"first sync byte", changed(0, 0x54), false},
      {"second sync byte", changed(1, 0xAB), false},
      {"address byte", changed(2, 0xF0), false},
      {"checksum", changed(valid.size() - 1, valid.back() ^ 0x01), false},
      // Length, serial, command and sub-command are not examined.
      {"any command", withSum({0x55, 0xAA, 0xF8, 0, 0, 0, 0, 0, 0, 0, 0}), true},
  };
  for (const Case& c : cases) EXPECT_EQ(NetworkScanner::checkLinkReply(c.bytes.data(), c.bytes.size()), c.valid) << c.what;
}

class NetworkScannerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::processLinks();
    platform::setTimeScale(0.2);
    adapters_ = useLoopbackAdapterOnly();
  }
  void TearDown() override {
    platform::setNetworkAdaptersForTest(nullptr);
    platform::setTimeScale(1.0);
  }

  std::shared_ptr<FakeNetworkAdapters> adapters_;
};

// Unreadable adapters fail the scan with their text.
TEST_F(NetworkScannerTest, AdapterAddresses_giveSubnetAndGatewayBroadcasts_unreadableFailsTheScan) {
  adapters_->set({
      adapterAddress("down", "0.0.0.0", "0.0.0.0"),
      adapterAddress("eth0", "192.168.7.20", "255.255.0.0", "192.168.1.1"),
      adapterAddress("eth1", "300.1.1.1", "255.0.0.0"),
      adapterAddress("eth2", "10.0.0.1", "255.255.255.x"),
      adapterAddress("eth3", "10.1.2.3", "255.255.255.0", "10.1.2"),
      adapterAddress("lo", "127.0.0.1", "255.0.0.0"),
  });
  NetworkScanner scanner;
  std::vector<NetworkPort> ports;

  ASSERT_EQ(scanner.findNetworkPorts(ports), 0);

  // Subnet broadcast, gateway broadcast; unparsable addresses are left out.
  const std::pair<std::string, std::string> expected[] = {
      {"255.255.255.255", ""}, {"192.168.255.255", "192.168.1.255"}, {"10.1.2.255", ""}, {"127.255.255.255", ""}};
  ASSERT_EQ(ports.size(), std::size(expected));
  for (size_t i = 0; i < ports.size(); ++i) {
    EXPECT_EQ(ports[i].broadcastAddr, expected[i].first) << i;
    EXPECT_EQ(ports[i].gatewayBroadcastAddr, expected[i].second) << i;
  }

  adapters_->set({}, false);
  testsupport::WindowRecorder posted;
  J2534DeviceList list;
  EXPECT_EQ(scanner.ScanJ2534Device(list), -1);
  EXPECT_EQ(posted.texts(), std::vector<std::string>{"ERR_SCAN_J2534_DEVICE:  FindNetworkPorts error"});
}

// Two addresses on one subnet are one broadcast, and a device answering both
// requests is one entry; a broadcast the guard refuses fails its runs, and
// the scan goes on.
TEST_F(NetworkScannerTest, DeviceOnTwoAddresses_askedAndListedOnce_refusedBroadcastFailsItsRuns) {
  adapters_->set({adapterAddress("eth0", "192.168.7.20", "255.255.255.0", "192.168.7.1"),
                  adapterAddress("lo", "127.0.0.1", "255.0.0.0"), adapterAddress("lo:1", "127.0.0.2", "255.0.0.0")});
  auto device = scantest::startDevice({.serialNumber = kSerial, .linkName = "KST-LINK"});
  ASSERT_TRUE(device);
  testsupport::WindowRecorder posted;
  NetworkScanner scanner;
  J2534DeviceList list;

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(scanner.ScanJ2534Device(list), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms) << "two requests, a 100 ms window each at this scale";

  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, kSerial);
  EXPECT_EQ(list[0].addr, kDeviceAddr);
  EXPECT_EQ(list[0].connectType, static_cast<uint32_t>(ConnectType::Lan));
  EXPECT_EQ(device->core().requestCount(kCmdReadSerial), 1u);
  EXPECT_EQ(device->core().requestCount(kCmdDiscoverLink), 1u);
  EXPECT_EQ(posted.texts(), (std::vector<std::string>{"ERR_SCAN_J2534_DEVICE:  ScanQTRAKDevice error",
                                                      "ERR_SCAN_J2534_DEVICE:  ScanLinkDevice error"}));
}

TEST_F(NetworkScannerTest, BadDatagramLastInTheWindow_failsThatRunButKeepsTheDevice) {
  auto device = scantest::startDevice({.serialNumber = kSerial});
  ASSERT_TRUE(device);
  // Garbage to the link request, sent on until the window has closed.
  FakeLanHost noisy([](const Bytes& request) {
    return isLinkRequest(request) ? std::vector<Bytes>{{0x55, 0xAA, 0x00, 0x01}} : std::vector<Bytes>{};
  }, {.repeat = true, .every = 2ms});
  ASSERT_TRUE(noisy.ok());
  testsupport::WindowRecorder posted;
  NetworkScanner scanner;
  J2534DeviceList list;

  EXPECT_EQ(scanner.ScanLinkDevice(list, "127.255.255.255", 500), -1);
  EXPECT_EQ(scanner.ScanJ2534Device(list), 0);

  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, kSerial);
  EXPECT_EQ(list[0].addr, kDeviceAddr);
  EXPECT_EQ(posted.texts(), std::vector<std::string>{"ERR_SCAN_J2534_DEVICE:  ScanLinkDevice error"});
}

TEST_F(NetworkScannerTest, HostileAnswers_areBoundedOrIgnored) {
  struct Case {
    const char* what;
    bool linkRequest;  // which request the host answers
    Bytes answer;
    bool listed;
    std::string name;
  } cases[] = {
      {"long name reply", false, nameReply(std::string(100, 'Q')), true, std::string(64, 'Q')},
      {"name length past the data", false,
       replyBytes(0x61, 0x33, Bytes{0xF0, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 0}), false, ""},
      {"name reply too short", false, replyBytes(0x61, 0x33, Bytes{3, 'A', 'B', 0}), false, ""},
      {"bad checksum", false, [] { Bytes b = nameReply(kSerial); b.back() ^= 0xFF; return b; }(), false, ""},
      {"twelve-byte link answer", true, kShortestLink, true, ""},
      {"long link name", true, linkReply(std::string(100, '\x01')), true, std::string(64, '\x01')},
      {"link answer past the receive buffer", true, linkReply(std::string(200, 'N')), false, ""},
      {"truncated link answer", true, Bytes{0x55, 0xAA, 0xF8, 0xF1, 0x00}, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeLanHost host([&](const Bytes& request) {
      return isLinkRequest(request) == c.linkRequest ? std::vector<Bytes>{c.answer} : std::vector<Bytes>{};
    });
    ASSERT_TRUE(host.ok());
    NetworkScanner scanner;
    J2534DeviceList list;

    // An unusable datagram early in the window leaves the run's result at 0.
    int rc = c.linkRequest ? scanner.ScanLinkDevice(list, "127.255.255.255", 500)
                           : scanner.ScanQTRAKDevice(list, "127.255.255.255", 500);

    EXPECT_EQ(rc, 0);
    EXPECT_EQ(host.sent(), 1);
    ASSERT_EQ(list.size(), c.listed ? 1u : 0u);
    if (c.listed) {
      EXPECT_EQ(list[0].name, c.name);
      EXPECT_EQ(list[0].addr, kOtherHostAddr);
    }
  }
}

TEST_F(NetworkScannerTest, HostThatNeverStopsAnswering_cannotHoldTheScan) {
  FakeLanHost flood([](const Bytes&) { return std::vector<Bytes>(256, nameReply(kSerial)); }, {.repeat = true});
  ASSERT_TRUE(flood.ok());
  NetworkScanner scanner;
  J2534DeviceList list;

  auto start = std::chrono::steady_clock::now();
  scanner.ScanQTRAKDevice(list, "127.255.255.255", 500);
  auto took = std::chrono::steady_clock::now() - start;

  // The window is 100 ms at this scale and its ceiling four times that; the
  // answers come in bursts dense enough that only the ceiling ends it.
  EXPECT_LT(took, 1000ms);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].addr, kOtherHostAddr);
  EXPECT_GT(flood.sent(), 10);
}

}  // namespace
