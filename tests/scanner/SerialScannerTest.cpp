#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "session/SerialProbe.h"
#include "support/SimLinks.h"
#include "scanner/SerialScanner.h"
#include "platform/FakeUsbDeviceList.h"
#include "support/FrameBytes.h"
#include "support/LoopbackSockets.h"
#include "support/PtyPair.h"

namespace {

using Bytes = std::vector<uint8_t>;

const std::string kSerial = "744443100001";

using testsupport::replyBytes;

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes kFirstReply = replyBytes(0x61, 0x33, join({{13}, text(kSerial), {0}}));

struct Case {
  const char* what;
  Bytes reply;
  std::string name;  // empty: no name found
};

TEST(SerialReplyText, FirstReplyDecoding) {
  const Case cases[] = {
      {"length, serial, zero", kFirstReply, kSerial},
      {"noise before the reply", join({{0x00, 0x61, 0x99}, kFirstReply}), kSerial},
      // The text match takes the last twelve bytes before the first zero.
      {"thirteen characters", replyBytes(0x61, 0x33, join({{14}, text("A" + kSerial), {0}})), kSerial},
      {"control bytes kept", replyBytes(0x61, 0x33, join({{13}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, {0}})),
       std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C")},
      {"eleven bytes before the zero", replyBytes(0x61, 0x33, join({text("74444310000"), {0}})), ""},
      {"no zero after the serial", replyBytes(0x61, 0x33, join({{12}, text(kSerial)})), ""},
      {"other command", replyBytes(0x61, 0x05, join({{13}, text(kSerial), {0}})), ""},
      {"nothing", {}, ""},
      // Only what one probe read can hold is matched: the zero after the
      // serial number is the 255th byte, then the 256th.
      {"zero at byte 255", join({Bytes(232, 0x20), kFirstReply}), kSerial},
      {"zero at byte 256", join({Bytes(233, 0x20), kFirstReply}), ""},
  };
  for (const Case& c : cases) EXPECT_EQ(serialprobe::nameFromFirstReply(c.reply.data(), c.reply.size()), c.name) << c.what;
}

TEST(SerialReplyText, SecondReplyDecoding) {
  Bytes identity = join({{0x00, 0x0C}, text("KESTREL-VCI"), {0x00}});
  const Case cases[] = {
      {"identity, serial, two zeros", replyBytes(0x61, 0x03, join({identity, {0x00, 0x0D}, text(kSerial), {0, 0}})),
       kSerial},
      {"empty identity", replyBytes(0x61, 0x03, join({{0x00, 0x01, 0x00, 0x00, 0x0D}, text(kSerial), {0, 0}})),
       kSerial},
      {"one zero after the serial", replyBytes(0x61, 0x03, join({identity, {0x00, 0x0D}, text(kSerial), {0}})), ""},
      {"serial length not 13", replyBytes(0x61, 0x03, join({identity, {0x00, 0x0C}, text(kSerial), {0, 0}})), ""},
      {"first reply instead", kFirstReply, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(serialprobe::nameFromSecondReply(c.reply.data(), c.reply.size()), c.name) << c.what;
}

// A device that answers within microseconds of the request: its answer is
// already in the port when the probe turns to read, and must still be there.
TEST(SerialProbe, FastDevice_answerKeptEveryRound) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  std::atomic<bool> stop{false};
  std::thread device([&] {
    uint8_t request[64];
    while (!stop) {
      if (testsupport::readable(pty.masterFd(), 10) && ::read(pty.masterFd(), request, sizeof request) > 0) {
        pty.write(kFirstReply);
      }
    }
  });
  platform::setTimeScale(0.1);
  int missed = 0;
  constexpr int kRounds = 200;
  for (int round = 0; round < kRounds; ++round) missed += serialprobe::probeSerialNumber(pty.slavePath()) == kSerial ? 0 : 1;
  platform::setTimeScale(1.0);
  stop = true;
  device.join();
  EXPECT_EQ(missed, 0) << "of " << kRounds;
}

class SerialScannerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::processLinks();
    platform::setTimeScale(0.1);
  }
  void TearDown() override {
    platform::setUsbDevicesForTest(nullptr);
    platform::setTimeScale(1.0);
  }
};

// Named by the first request, else by the second, else listed without a name;
// a port of the known ids is listed once however often the ids appear, and
// one of other ids, or without a tty, is neither listed nor written to.
TEST_F(SerialScannerTest, VirtualDevice_namedByEitherRequest_elseListedNameless_otherIdsNotProbed) {
  auto device = scantest::startDevice({.serialNumber = kSerial});
  ASSERT_TRUE(device);
  auto scan = [] {
    J2534DeviceList list;
    EXPECT_EQ(SerialScanner().ScanJ2534Device(list), 0);
    return list;
  };
  J2534DeviceList list = scan();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].port, device->ttyPath());
  EXPECT_EQ(list[0].name, kSerial);
  EXPECT_EQ(list[0].connectType, 0u);
  EXPECT_EQ(device->core().requestCount(kCmdReadSerial), 1u);
  EXPECT_EQ(device->core().requestCount(kCmdReadIdentity), 0u);

  device->setSilent(kCmdReadSerial);
  list = scan();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, kSerial);
  EXPECT_EQ(device->core().requestCount(kCmdReadIdentity), 1u);

  device->setSilent(kCmdReadIdentity);
  PtyPair silent;
  PtyPair other;
  ASSERT_TRUE(silent.ok() && other.ok());
  const std::string missing = "/dev/kestrel-no-such-tty";
  platform::setUsbDevicesForTest(std::make_shared<FakeUsbDeviceList>(std::vector<platform::UsbDevice>{
      {0x1A86, 0x55DA, device->ttyPath(), ""}, {0x1A86, 0x55DA, silent.slavePath(), ""}, {0x0525, 0xA4A7, missing, ""},
      {0x1A86, 0x7523, other.slavePath(), "another maker's bridge"},
      {0x045B, 0x1127, other.slavePath(), "a device pair that has no serial function here"},
      {0x1A86, 0x55DA, "", "known ids, no tty"}}));
  list = scan();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].port, device->ttyPath());
  EXPECT_EQ(list[1].port, silent.slavePath());
  EXPECT_EQ(list[2].port, missing);
  for (const J2534Device& d : list) EXPECT_EQ(d.name, "") << d.port;
  EXPECT_EQ(other.drain(std::chrono::milliseconds(20)), 0u) << "a port of other ids was written to";
}

}  // namespace
