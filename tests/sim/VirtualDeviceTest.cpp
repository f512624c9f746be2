#include <gtest/gtest.h>



#include "SimPackages.h"
#include "support/SimTestLink.h"
#include "VirtualDevice.h"
#include "platform/Clock.h"

using namespace std::chrono_literals;
using simtest::TestLink;
using simtest::status;

namespace {

class VirtualDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::setTimeScale(0.05); }
  void TearDown() override { platform::setTimeScale(1.0); }
};

std::vector<uint8_t> be16(size_t v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }
std::vector<uint8_t> be32(size_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
          static_cast<uint8_t>(v)};
}
void append(std::vector<uint8_t>& to, const std::vector<uint8_t>& more) { to.insert(to.end(), more.begin(), more.end()); }

// The boot loader's safety handshake: echo the four bytes it hands out.
bool passSafetyCheck(TestLink& link) {
  Frame challenge, verdict;
  if (!link.exchange(0x25, 0x02, {0x02}, challenge) || challenge.payloadSize() < 5 || status(challenge) != 0x02) {
    return false;
  }
  std::vector<uint8_t> answer = {0x02};
  answer.insert(answer.end(), challenge.data() + 1, challenge.data() + 5);
  return link.exchange(0x25, 0x03, answer, verdict) && verdict.payloadSize() >= 2 && verdict.data()[0] == 0x02 &&
         verdict.data()[1] == 0x00;
}

std::vector<uint8_t> announcement(const std::string& name, size_t size) {
  std::vector<uint8_t> out = be16(name.size() + 1);
  out.insert(out.end(), name.begin(), name.end());
  out.push_back(0);
  append(out, be32(size));
  return out;
}

// Announces and sends an image in 4096-byte chunks as the host does, then
// returns the status of the digest reply (0xEE when something failed earlier).
uint8_t burn(TestLink& link, const std::string& name, std::vector<uint8_t> image, int corruptChunk = -1,
             std::string digest = {}) {
  if (digest.empty()) digest = sim::md5Hex(image);
  Frame reply;
  if (!link.exchange(0x24, 0x02, announcement(name, image.size()), reply) || status(reply) != 0) return 0xEE;
  for (size_t offset = 0, index = 0; offset < image.size(); offset += 4096, ++index) {
    size_t n = std::min<size_t>(4096, image.size() - offset);
    std::vector<uint8_t> chunk = be32(offset);
    append(chunk, be16(n));
    chunk.insert(chunk.end(), image.begin() + static_cast<long>(offset), image.begin() + static_cast<long>(offset + n));
    if (static_cast<int>(index) == corruptChunk) chunk[6 + n / 2] ^= 0x40;
    if (!link.exchange(0x24, 0x03, chunk, reply) || status(reply) != 0) return 0xEE;
  }
  if (!link.exchange(0x24, 0x04, std::vector<uint8_t>(digest.begin(), digest.end()), reply)) return 0xEE;
  return status(reply);
}

}  // namespace

TEST_F(VirtualDeviceTest, Wifi_storedOnlyFromAWellFormedBlock) {
  sim::VirtualDevice device(sim::DeviceConfig{});
  ASSERT_TRUE(device.start());
  TestLink link;
  ASSERT_TRUE(link.connectTcp(device.devicePort()));

  Frame reply;
  std::vector<uint8_t> block = {3, 'L', 'a', 'b', 0x02, 8, 's', 'e', 'c', 'r', 'e', 't', '9', '9'};
  ASSERT_TRUE(link.exchange(0x2C, 0x12, block, reply));
  EXPECT_EQ(status(reply), 0);
  EXPECT_EQ(device.core().config().wifiSsid, "Lab");
  EXPECT_EQ(device.core().config().wifiKey, "secret99");

  // A key length running past the block is refused and changes nothing.
  block[5] = 9;
  ASSERT_TRUE(link.exchange(0x2C, 0x12, block, reply));
  EXPECT_NE(status(reply), 0);
  EXPECT_EQ(device.core().config().wifiKey, "secret99");
}

TEST_F(VirtualDeviceTest, ImageTransfer_digestAcceptedOnlyWhenStoredBytesMatch) {
  struct Case {
    const char* name;
    int corruptChunk;
    bool wrongDigest;
    bool accepted;
  };
  for (const Case& c : {Case{"intact", -1, false, true}, Case{"corrupted chunk", 40, false, false},
                        Case{"digest of another image", -1, true, false}}) {
    SCOPED_TRACE(c.name);
    sim::VirtualDevice device({.serialNumber = "5RHM10000001", .firmwareVersion = "V1.10"});
    ASSERT_TRUE(device.start());
    TestLink link;
    ASSERT_TRUE(link.connectTcp(device.devicePort()));

    Frame reply;
    ASSERT_TRUE(link.exchange(0x25, 0x05, {}, reply));  // boot switch of a model-0 device
    ASSERT_EQ(status(reply), 0);
    ASSERT_TRUE(link.exchange(0x21, 0x14, {}, reply));
    ASSERT_EQ(status(reply), 0) << "not in the boot loader";
    ASSERT_TRUE(passSafetyCheck(link));

    auto image = sim::buildFirmwareImage("V1.30", 0x60000);
    std::string digest = c.wrongDigest ? sim::md5Hex(sim::buildFirmwareImage("V1.31", 0x60000)) : std::string();
    uint8_t verdict = burn(link, "DOWNLOAD.BIN", image, c.corruptChunk, digest);
    auto stored = device.core().image(sim::ImageSlot::Firmware);
    EXPECT_EQ(stored.name, "DOWNLOAD.BIN");
    if (c.accepted) {
      EXPECT_EQ(verdict, 0);
      EXPECT_TRUE(stored.accepted);
      EXPECT_EQ(stored.md5, sim::md5Hex(image));
      EXPECT_EQ(device.core().config().firmwareVersion, "V1.30");
    } else {
      EXPECT_NE(verdict, 0);
      EXPECT_NE(verdict, 0xEE) << "the transfer itself should have been acknowledged";
      EXPECT_FALSE(stored.accepted);
      EXPECT_EQ(device.core().config().firmwareVersion, "V1.10");
    }
  }
}

TEST_F(VirtualDeviceTest, ImageAnnouncement_sizeRuleDependsOnModel) {
  struct Case {
    std::string serial;
    std::string name;
    size_t size;
    bool accepted;
  };
  for (const Case& c : {Case{"5RHM10000001", "DOWNLOAD.BIN", 0x60000 - 1, false},
                        Case{"5RHM10000001", "J2534.BIN", 0x70000, true},
                        Case{"5RHM10000001", "J2534.BIN", 0x60000, false},
                        Case{"5RWM80000001", "DOWNLOAD.BIN", 0x60000 - 1, true},
                        Case{"5RWM80000001", "OTHER.BIN", 100, false}}) {
    SCOPED_TRACE(c.serial + " " + c.name + " " + std::to_string(c.size));
    sim::VirtualDevice device({.serialNumber = c.serial, .mode = sim::DeviceMode::BootLoader}, {.pty = false});
    ASSERT_TRUE(device.start());
    TestLink link;
    ASSERT_TRUE(link.connectTcp(device.devicePort()));
    ASSERT_TRUE(passSafetyCheck(link));
    Frame reply;
    ASSERT_TRUE(link.exchange(0x24, 0x02, announcement(c.name, c.size), reply));
    EXPECT_EQ(status(reply) == 0, c.accepted);
  }
}

TEST_F(VirtualDeviceTest, SystemUpload_outOfOrderFlowIdIsRefused) {
  sim::VirtualDevice device({}, {.pty = false, .discovery = false});
  ASSERT_TRUE(device.start());
  TestLink link;
  ASSERT_TRUE(link.connectTcp(device.configPort()));
  Frame ack;
  std::vector<uint8_t> chunk = {0x02, 0x55, 0x00, 0x00, 0x04, 1, 2, 3, 4};
  ASSERT_TRUE(link.exchange(0x2C, 0x05, chunk, ack));
  EXPECT_EQ(ack.data()[1], 0);
  chunk[2] = 2;  // skips flow id 1
  ASSERT_TRUE(link.exchange(0x2C, 0x05, chunk, ack));
  EXPECT_EQ(ack.data()[0], 2);
  EXPECT_NE(ack.data()[1], 0);
  // Without its final chunk the upload is no package: nothing is installed.
  ASSERT_TRUE(link.exchange(0x2C, 0x07, {}, ack));
  EXPECT_NE(status(ack), 0);
  EXPECT_EQ(device.restartCount(), 0u);
}

TEST_F(VirtualDeviceTest, Faults_hitOnlyTheScriptedOccurrences) {
  sim::VirtualDevice device({}, {.pty = false, .discovery = false});
  ASSERT_TRUE(device.start());
  device.addFault({.kind = sim::FaultKind::NoReply, .command = 0x21, .subCommand = 0x14,
                   .when = sim::Occurrence::nth(2)});
  device.addFault({.kind = sim::FaultKind::RefusedStatus, .command = 0x21, .subCommand = 0x05,
                   .when = sim::Occurrence::fromNth(2), .status = 7});
  TestLink link;
  ASSERT_TRUE(link.connectTcp(device.devicePort()));

  Frame reply;
  EXPECT_TRUE(link.exchange(0x21, 0x14, {}, reply, 500ms));
  EXPECT_FALSE(link.exchange(0x21, 0x14, {}, reply, 300ms));
  EXPECT_TRUE(link.exchange(0x21, 0x14, {}, reply, 500ms));

  std::array<std::string, 5> fields;
  ASSERT_TRUE(link.exchange(0x21, 0x05, {}, reply));
  EXPECT_TRUE(readFiveFields16(reply, fields));
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(link.exchange(0x21, 0x05, {}, reply));
    EXPECT_EQ(status(reply), 7);
    EXPECT_EQ(reply.payloadSize(), 1u);
  }
  EXPECT_EQ(device.core().requestCount(0x21, 0x05), 3u);
}

TEST_F(VirtualDeviceTest, Faults_replyShapes) {
  sim::VirtualDevice device({}, {.pty = false, .discovery = false});
  ASSERT_TRUE(device.start());
  TestLink link;
  ASSERT_TRUE(link.connectTcp(device.devicePort()));
  auto collect = [&](uint8_t sub) {
    link.send(simtest::request(0x21, sub));
    return link.readChunks(400ms);
  };

  device.addFault({.kind = sim::FaultKind::BadChecksum, .command = 0x21, .subCommand = 0x33});
  auto chunks = collect(0x33);
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_TRUE(chunks[0].size() >= 10 && !Frame::isValid(chunks[0].data(), chunks[0].size()));

  // Scaled to 0.05, a 2000 ms pause keeps the parts 100 ms apart.
  device.addFault({.kind = sim::FaultKind::SplitReply, .command = 0x21, .subCommand = 0x03, .delay = 2000ms,
                   .splitAt = 5});
  chunks = collect(0x03);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0].size(), 5u);
  std::vector<uint8_t> joined = chunks[0];
  append(joined, chunks[1]);
  EXPECT_TRUE(Frame::isValid(joined.data(), joined.size()));

  device.addFault({.kind = sim::FaultKind::DuplicateReply, .command = 0x21, .subCommand = 0x14});
  link.send(simtest::request(0x21, 0x14));
  Frame first, second;
  EXPECT_TRUE(link.receive(first, 0x61, 0x14, 500ms));
  EXPECT_TRUE(link.receive(second, 0x61, 0x14, 500ms));
  EXPECT_EQ(first.bytes(), second.bytes());

  // 3000 ms scaled is 150 ms: missed by a 50 ms wait, caught by a longer one.
  device.addFault({.kind = sim::FaultKind::LateReply, .command = 0x21, .subCommand = 0x05});
  link.send(simtest::request(0x21, 0x05));
  Frame late;
  EXPECT_FALSE(link.receive(late, 0x61, 0x05, 50ms));
  EXPECT_TRUE(link.receive(late, 0x61, 0x05, 1000ms));

  device.addFault({.kind = sim::FaultKind::Disconnect, .command = 0x21, .subCommand = 0x11});
  link.send(simtest::request(0x21, 0x11));
  EXPECT_TRUE(link.waitClosed(1s));
  EXPECT_TRUE(device.online());
}
