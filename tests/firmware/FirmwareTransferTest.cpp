#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "SimPackages.h"
#include "VirtualDevice.h"
#include "firmware/CFirmwareUpDateUtils.h"
#include "support/UpgradeHarness.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "support/SimLinks.h"
#include "session/SessionApi.h"
#include "support/LogCapture.h"
#include "utils/LogFacade.h"

namespace {

using sim::Fault;
using sim::FaultKind;
using sim::Occurrence;

const std::string kModel0 = sim::sampleSerial(0, true);
const std::string kModel4 = sim::sampleSerial(4, true);

std::vector<sim::RequestRecord> requestsOf(const sim::VirtualDevice& device, DeviceCommand request) {
  std::vector<sim::RequestRecord> out = device.core().requestLog();
  std::erase_if(out, [&](const sim::RequestRecord& r) { return r.command != request.cmd || r.subCommand != request.sub; });
  return out;
}

uint32_t be32(const std::vector<uint8_t>& d, size_t at) {
  return static_cast<uint32_t>(d[at]) << 24 | static_cast<uint32_t>(d[at + 1]) << 16 |
         static_cast<uint32_t>(d[at + 2]) << 8 | d[at + 3];
}

class FirmwareTransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::processLinks();
    platform::setTimeScale(0.05);
  }
  void TearDown() override {
    closeAllSessions();
    device_.reset();
    platform::setTimeScale(1.0);
  }

  // A device with the utilities' session connected over TCP; in its boot
  // loader unless said otherwise, with an empty request log.
  sim::VirtualDevice& start(const std::string& serial, bool inBoot = true) {
    sim::DeviceConfig config{.serialNumber = serial, .restartDelay = std::chrono::milliseconds(300)};
    device_.reset();  // the next device binds the same ports
    device_ = scantest::startDevice(config);
    EXPECT_TRUE(device_);
    utils_.productType = static_cast<DeviceModel>(device_->core().model());
    utils_.serialNumber = serial;
    EXPECT_EQ(utils_.connectDefaultSession(), 0);
    if (inBoot) device_->core().setMode(sim::DeviceMode::BootLoader);
    device_->core().clearRequestLog();
    return *device_;
  }

  // Safety check passed and the image announced, ready for its chunks.
  void announce(const std::string& softType, uint32_t length) {
    ASSERT_TRUE(utils_.SafetyCheck());
    ASSERT_EQ(utils_.notifyFirmwareInfo(softType, length), 0);
  }

  CFirmwareUpDateUtils utils_;
  std::unique_ptr<sim::VirtualDevice> device_;
};

// Model 4 has no size rule: the fault matrix sends it a 10000-byte image.
TEST_F(FirmwareTransferTest, SizeRule_oneByteShort_isRefusedBeforeAnyFrame) {
  const auto image = sim::buildFirmwareImage("V9.9", 0x60000 - 1);
  const std::string path = platform::joinPath(platform::workRoot(), "image.bin");
  upgradetest::writeFile(path, image);
  sim::VirtualDevice& device = start(kModel0);

  EXPECT_FALSE(utils_.upgradeFirmware(kModel0, "1", path));
  EXPECT_TRUE(device.core().requestLog().empty());
}

// Types 1 and 3 are announced in every upgrade test, where the virtual device
// checks the block byte by byte; type 2 goes under type 1's name, and an
// unknown type sends nothing, and a refused announcement fails.
TEST_F(FirmwareTransferTest, Announcement_type2UnderType1sName_unknownTypeOrRefusalFails) {
  sim::VirtualDevice& device = start(kModel4);
  ASSERT_TRUE(utils_.SafetyCheck());

  EXPECT_EQ(utils_.notifyFirmwareInfo("7", 100), -1);
  EXPECT_TRUE(requestsOf(device, kCmdImageAnnounce).empty());
  device.addFault(sim::faultOn(kCmdImageAnnounce, {.kind = FaultKind::RefusedStatus, .when = Occurrence::nth(1)}));
  EXPECT_EQ(utils_.notifyFirmwareInfo("3", 100), -1);
  device.core().clearRequestLog();
  utils_.notifyFirmwareInfo("2", 0x01020304);

  const std::string name = "DOWNLOAD.BIN";
  std::vector<uint8_t> block = {0x00, 0x0D};
  block.insert(block.end(), name.begin(), name.end());
  block.insert(block.end(), {0x00, 0x01, 0x02, 0x03, 0x04});
  const auto sent = requestsOf(device, kCmdImageAnnounce);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].data, block);
}

TEST_F(FirmwareTransferTest, SendBin_faultsOnChunks_retryOnlyWhatWentUnanswered) {
  struct Case {
    const char* name;
    std::vector<Fault> faults;
    int result;
    unsigned chunkRequests;  // 0x24 0x03 frames the device saw; 0: depends on the reconnection
    size_t failedTries;      // " send msg 6403 failed, retry..." and " recv msg 6403 failed, retry..."
  };
  auto fault = [](FaultKind kind, Occurrence when, uint8_t status = 1) {
    return sim::faultOn(kCmdImageChunk, {.kind = kind, .when = when, .status = status});
  };
  const Case cases[] = {
      {"no fault", {}, 0, 3, 0},
      {"two lost, third acknowledged",
       {fault(FaultKind::NoReply, Occurrence::nth(1)), fault(FaultKind::NoReply, Occurrence::nth(2))}, 0, 5, 2},
      {"garbled acknowledgement", {fault(FaultKind::BadChecksum, Occurrence::nth(2))}, 0, 4, 1},
      {"refused chunk", {fault(FaultKind::RefusedStatus, Occurrence::nth(2))}, -1, 2, 0},
      {"acknowledgement without status", {fault(FaultKind::EmptyReply, Occurrence::nth(1))}, -1, 1, 0},
      {"never acknowledged", {fault(FaultKind::NoReply, Occurrence::every())}, -1, 3, 3},
      // The network link comes back by itself; the chunk goes again.
      {"link dropped once", {fault(FaultKind::Disconnect, Occurrence::nth(2))}, 0, 4, 1},
      {"link dropped on every try", {fault(FaultKind::Disconnect, Occurrence::fromNth(2))}, -1, 0, 3},
  };
  const auto image = sim::buildFirmwareImage("V1.0", 10000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::VirtualDevice& device = start(kModel4);
    announce("3", 10000);
    for (const Fault& f : c.faults) device.addFault(f);
    LogCapture log;

    EXPECT_EQ(utils_.sendBin(image.data(), image.size()), c.result);

    if (c.chunkRequests) {
      EXPECT_EQ(device.core().requestCount(kCmdImageChunk), c.chunkRequests);
    }
    EXPECT_EQ(log.count(" send msg 6403 failed, retry...", logfacade::kWarn) +
                  log.count(" recv msg 6403 failed, retry...", logfacade::kWarn),
              c.failedTries)
        << log.dump();
    if (c.faults.empty()) {
      const auto chunks = requestsOf(device, kCmdImageChunk);
      ASSERT_EQ(chunks.size(), 3u);
      const uint32_t offsets[] = {0, 4096, 8192}, lengths[] = {4096, 4096, 1808};
      for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(be32(chunks[i].data, 0), offsets[i]);
        EXPECT_EQ((chunks[i].data[4] << 8) | chunks[i].data[5], static_cast<int>(lengths[i]));
        EXPECT_TRUE(std::equal(chunks[i].data.begin() + 6, chunks[i].data.end(), image.begin() + offsets[i]));
      }
    }
    if (c.result == 0) {
      EXPECT_TRUE(utils_.sendDigest(sim::md5Hex(image)));
      EXPECT_TRUE(device.core().image(sim::ImageSlot::J2534).accepted);
    }
    closeAllSessions();
  }
}

TEST_F(FirmwareTransferTest, SendDigest_lateAnswerToAnEarlierDigest_isNotTakenForTheNext) {
  const auto first = sim::buildFirmwareImage("V1.0", 3000, 1);
  const auto second = sim::buildFirmwareImage("V2.0", 3000, 3);
  sim::VirtualDevice& device = start(kModel4);
  device.addFault(sim::faultOn(kCmdImageDigest, {.kind = FaultKind::LateReply, .when = Occurrence::nth(1)}));
  device.addFault(sim::faultOn(kCmdImageDigest, {.kind = FaultKind::RefusedStatus, .when = Occurrence::nth(2)}));
  announce("1", 3000);
  ASSERT_EQ(utils_.sendBin(first.data(), first.size()), 0);
  EXPECT_FALSE(utils_.sendDigest(sim::md5Hex(first)));
  // The device did accept the first image; its answer comes after the wait.
  std::this_thread::sleep_for(platform::scaled(std::chrono::milliseconds(6000)));
  ASSERT_TRUE(device.core().image(sim::ImageSlot::Firmware).accepted);
  announce("3", 3000);
  ASSERT_EQ(utils_.sendBin(second.data(), second.size()), 0);

  // The device refuses this digest while the late "accepted" still waits on the session.
  EXPECT_FALSE(utils_.sendDigest(sim::md5Hex(second)));
  EXPECT_FALSE(device.core().image(sim::ImageSlot::J2534).accepted);
}

// Boot entry and the safety check against a device that answers well or
// badly: the result, the frames sent, and the warning that names the cause.
TEST_F(FirmwareTransferTest, EnterBootAndSafetyCheck_decideOnEveryByteTheyRead) {
  using Call = bool (CFirmwareUpDateUtils::*)();
  const Call boot = &CFirmwareUpDateUtils::EnterBoot, safety = &CFirmwareUpDateUtils::SafetyCheck,
             digit = &CFirmwareUpDateUtils::enterBootDigit;
  struct Case {
    const char* name;
    Call call;
    std::string serial;
    bool inBoot;
    std::vector<Fault> faults;
    bool result;
    std::array<unsigned, 4> frames;  // 0x21 0x14, 0x25 0x05, 0x24 0x07 and 0x25 0x03 requests
    const char* warning;             // nullptr: none expected
  };
  auto on = [](DeviceCommand request, FaultKind kind, Occurrence when = Occurrence::every(), uint8_t status = 1) {
    return sim::faultOn(request, {.kind = kind, .when = when, .status = status});
  };
  const Case cases[] = {
      {"boot loader, model 0", boot, kModel0, true, {}, true, {1, 0, 0, 0}, nullptr},
      {"normal, model 0", boot, kModel0, false, {}, true, {1, 1, 0, 0}, nullptr},
      {"normal, model 4", boot, kModel4, false, {}, true, {1, 0, 1, 0}, nullptr},
      {"mode read unanswered", boot, kModel0, false, {on(kCmdReadMode, FaultKind::NoReply)}, true, {5, 0, 0, 0}, nullptr},
      {"mode read answered on the third try", boot, kModel0, false,
       {on(kCmdReadMode, FaultKind::NoReply, Occurrence::nth(1)), on(kCmdReadMode, FaultKind::BadChecksum, Occurrence::nth(2))},
       true, {3, 1, 0, 0}, nullptr},
      {"mode reply without data", boot, kModel0, false, {on(kCmdReadMode, FaultKind::EmptyReply)}, false, {1, 0, 0, 0},
       "mode reply carries no mode"},
      {"switch refused", boot, kModel0, false, {on(kCmdEnterBoot, FaultKind::RefusedStatus)}, false, {1, 1, 0, 0},
       "switch boot failed"},
      {"switch without status", boot, kModel0, false, {on(kCmdEnterBoot, FaultKind::EmptyReply)}, false, {1, 1, 0, 0},
       "switch boot failed"},
      {"numeric entry refused", digit, sim::sampleSerial(0, false), false, {on(kCmdEnterBoot, FaultKind::RefusedStatus)},
       false, {0, 1, 0, 0}, nullptr},
      {"safety check passes", safety, kModel0, true, {}, true, {0, 0, 0, 1}, nullptr},
      {"challenge status 03", safety, kModel0, true, {on(kCmdSafetyChallenge, FaultKind::RefusedStatus, Occurrence::every(), 3)},
       false, {0, 0, 0, 0}, "val is not 0x02, actually val is 03"},
      {"status 02 without challenge", safety, kModel0, true,
       {on(kCmdSafetyChallenge, FaultKind::RefusedStatus, Occurrence::every(), 2)}, false, {0, 0, 0, 0}, "safety check failed"},
      {"challenge without data", safety, kModel0, true, {on(kCmdSafetyChallenge, FaultKind::EmptyReply)}, false, {0, 0, 0, 0},
       "safety check failed"},
      {"answer refused", safety, kModel0, true, {on(kCmdSafetyAnswer, FaultKind::RefusedStatus)},
       false, {0, 0, 0, 1}, "safety check failed"},
      {"answer without data", safety, kModel0, true, {on(kCmdSafetyAnswer, FaultKind::EmptyReply)}, false, {0, 0, 0, 1},
       "safety check failed"},
      {"answer unanswered", safety, kModel0, true, {on(kCmdSafetyAnswer, FaultKind::NoReply)}, false, {0, 0, 0, 1},
       "fail to recieve 6503"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::VirtualDevice& device = start(c.serial, c.inBoot);
    for (const Fault& f : c.faults) device.addFault(f);
    LogCapture log;

    EXPECT_EQ((utils_.*c.call)(), c.result);

    const sim::DeviceCore& core = device.core();
    EXPECT_EQ((std::array<unsigned, 4>{core.requestCount(kCmdReadMode), core.requestCount(kCmdEnterBoot),
                                       core.requestCount(kCmdQtrakEnterBoot), core.requestCount(kCmdSafetyAnswer)}),
              c.frames);
    EXPECT_TRUE(!c.warning || log.contains(c.warning, logfacade::kWarn)) << log.dump();
    // Once switched, the device has to be reachable in its boot loader.
    EXPECT_TRUE(!c.result || c.frames[1] + c.frames[2] == 0 || utils_.SafetyCheck());
    closeAllSessions();
  }
}

// Both switches move to the boot-mode port; the network session is given up,
// since a kept one would reconnect to the device listening on TCP again.
TEST_F(FirmwareTransferTest, BootSwitch_movesToTheBootPortAndLeavesNoSessionBehind) {
  struct Case {
    std::string serial;
    bool (CFirmwareUpDateUtils::*enter)();
    DeviceCommand request;
    std::vector<uint8_t> data;
  };
  const Case cases[] = {{kModel4, &CFirmwareUpDateUtils::EnterBoot, kCmdQtrakEnterBoot, {}},
                        {sim::sampleSerial(0, false), &CFirmwareUpDateUtils::enterBootDigit, kCmdEnterBoot, {0x02}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.serial);
    sim::VirtualDevice& device = start(c.serial, false);
    const int before = utils_.sessionId();

    ASSERT_TRUE((utils_.*c.enter)());

    auto entries = requestsOf(device, c.request);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].data, c.data);
    EXPECT_NE(utils_.sessionId(), before);
    ASSERT_TRUE(device.waitOnline(std::chrono::seconds(5)));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(closeSession(before), -1) << "the network session was kept";
    EXPECT_TRUE(utils_.SafetyCheck());
    EXPECT_EQ(requestsOf(device, kCmdSafetyChallenge).back().link, sim::LinkKind::Serial);
    closeAllSessions();
  }
}

}  // namespace
