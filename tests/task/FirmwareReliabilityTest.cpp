#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "SimPackages.h"
#include "VirtualDevice.h"
#include "WebServices.h"
#include "app/AppState.h"
#include "support/UpgradeHarness.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "support/SimLinks.h"
#include "session/SessionApi.h"
#include "support/LogCapture.h"
#include "task/FirmwareUpgrader.h"
#include "utils/LogFacade.h"
#include "utils/Settings.h"
#include "utils/ZipUtils.h"

// One glitch of the device at each stage of a model-4 upgrade (one image of
// three chunks, over TCP): every run either ends with the device holding the
// offered image, or fails with the step the glitch calls for, and never takes
// longer than its time-outs allow.
namespace {

using namespace std::chrono_literals;
using sim::FaultKind;
using upgradetest::Steps;

constexpr double kTimeScale = 0.03;
constexpr size_t kImageSize = 10000;  // chunks of 4096, 4096 and 1808 bytes

enum class Outcome { Upgraded, PrepareFailed, TransferFailed, Other };

const char* outcomeName(Outcome o) {
  switch (o) {
    case Outcome::Upgraded: return "upgraded";
    case Outcome::PrepareFailed: return "step 6";
    case Outcome::TransferFailed: return "step 8";
    default: return "other";
  }
}

Outcome outcomeOf(const Steps& steps) {
  if (steps == Steps{{1, 0}, {1, 5}, {1, 7}}) return Outcome::Upgraded;
  if (steps == Steps{{1, 0}, {1, 6}}) return Outcome::PrepareFailed;
  if (steps == Steps{{1, 0}, {1, 5}, {1, 8}}) return Outcome::TransferFailed;
  return Outcome::Other;
}

enum class StageId { ModeRead, BootSwitch, Safety1, Safety2, Announcement, FirstChunk, MiddleChunk, LastChunk, Digest };

struct Stage {
  StageId id;
  const char* name;
  uint8_t command;
  uint8_t subCommand;
  unsigned occurrence;
};

const Stage kStages[] = {
    {StageId::ModeRead, "mode read", 0x21, 0x14, 1},
    {StageId::BootSwitch, "boot switch", 0x24, 0x07, 1},
    {StageId::Safety1, "safety 1", 0x25, 0x02, 1},
    {StageId::Safety2, "safety 2", 0x25, 0x03, 1},
    {StageId::Announcement, "announcement", 0x24, 0x02, 1},
    {StageId::FirstChunk, "first chunk", 0x24, 0x03, 1},
    {StageId::MiddleChunk, "middle chunk", 0x24, 0x03, 2},
    {StageId::LastChunk, "last chunk", 0x24, 0x03, 3},
    {StageId::Digest, "digest", 0x24, 0x04, 1},
};

struct Glitch {
  FaultKind kind;
  const char* name;
};

const Glitch kGlitches[] = {
    {FaultKind::NoReply, "no reply"},         {FaultKind::BadChecksum, "bad checksum"},
    {FaultKind::SplitReply, "split"},         {FaultKind::DuplicateReply, "duplicate"},
    {FaultKind::LateReply, "late"},           {FaultKind::RefusedStatus, "refused"},
    {FaultKind::Disconnect, "disconnect"},
};

bool isChunk(StageId s) { return s == StageId::FirstChunk || s == StageId::MiddleChunk || s == StageId::LastChunk; }

// What the protocol makes of one glitch. A late reply comes after every
// 2000 ms wait but within the announcement's 5000 ms.
Outcome expectedOutcome(StageId stage, FaultKind kind) {
  if (kind == FaultKind::SplitReply || kind == FaultKind::DuplicateReply) return Outcome::Upgraded;
  switch (stage) {
    case StageId::ModeRead:
      // Four more attempts follow (a dropped network link comes back by itself).
      return Outcome::Upgraded;
    case StageId::BootSwitch:
      return Outcome::PrepareFailed;
    case StageId::Announcement:
      return kind == FaultKind::LateReply ? Outcome::Upgraded : Outcome::TransferFailed;
    case StageId::FirstChunk:
    case StageId::MiddleChunk:
    case StageId::LastChunk:
      // Two more tries follow; a refused chunk is not sent again.
      return kind == FaultKind::RefusedStatus ? Outcome::TransferFailed : Outcome::Upgraded;
    default:
      return Outcome::TransferFailed;
  }
}

// The warning that names the cause, where the protocol logs one.
const char* expectedWarning(StageId stage, FaultKind kind) {
  switch (stage) {
    case StageId::BootSwitch: return kind == FaultKind::RefusedStatus ? "switch boot failed" : "recv 6407 failed";
    case StageId::Safety1:
      return kind == FaultKind::RefusedStatus ? "val is not 0x02, actually val is 01" : "fail to recieve 6502";
    case StageId::Safety2: return kind == FaultKind::RefusedStatus ? "safety check failed" : "fail to recieve 6503";
    case StageId::Announcement: return kind == FaultKind::RefusedStatus ? nullptr : "recv 6402 failed";
    default:
      return isChunk(stage) && kind == FaultKind::RefusedStatus ? " parse msg 6403 failed, exist" : nullptr;
  }
}

// The longest a model-4 run may take when every wait runs out: connection,
// two boot entries (five mode reads, the switch, the restart pause and a
// reconnection each), the safety check, the announcement, three tries of
// each chunk, the digest and the pause after success; plus real time for the
// web exchanges and the sanitizers.
std::chrono::milliseconds runBound() {
  constexpr int kConnect = 10 * 1000;
  constexpr int kBootEntry = 5 * 2000 + 2000 + 4000 + kConnect;
  constexpr int kTransfer = 2 * 2000 + 5000 + 3 * 3 * 2000 + 2000;
  constexpr int kAll = kConnect + 2 * kBootEntry + kTransfer + 1000;
  return platform::scaled(std::chrono::milliseconds(kAll)) + 3000ms;
}

class FirmwareReliabilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::processLinks();
    unsetenv("KESTREL_SERVICES");
    platform::setTimeScale(kTimeScale);
    ASSERT_TRUE(web_.start());
    // No USB link: the default session goes to the stored address, so every
    // exchange of the table runs over TCP.
    SettingsRecord settings;
    settings.TransferType = 1;
    settings.Addr = 0x0100007F;  // 127.0.0.1
    ASSERT_TRUE(saveSettings(settings));
    DeviceInfo info;
    info.serialNumber = kSerial;
    AppState::getInstance().setDeviceInfo(info);
  }
  void TearDown() override {
    closeAllSessions();
    platform::setTimeScale(1.0);
    ziputils::removeTree(platform::updateDir());
  }

  std::unique_ptr<sim::VirtualDevice> startDevice(const std::string& serial, const std::string& serialAfterRestart) {
    const scantest::ProcessLinks& l = scantest::processLinks();
    sim::LinkConfig links;
    links.devicePort = l.devicePort;
    links.configPort = l.configPort;
    links.discoveryPort = l.discoveryPort;
    links.usbListFile = l.usbFile;
    links.wlanListFile = l.wlanFile;
    links.pty = false;
    auto device = std::make_unique<sim::VirtualDevice>(
        sim::DeviceConfig{.serialNumber = serial, .serialAfterRestart = serialAfterRestart, .restartDelay = 300ms},
        links);
    return device->start() ? std::move(device) : nullptr;
  }

  const std::string kSerial = sim::sampleSerial(4, true);
  sim::WebServices web_{{.anySizeImage = kImageSize}};
};

// A glitch, or a device other than the one read, and what must come of it.
struct Scenario {
  std::string name;
  std::vector<sim::Fault> faults;
  std::string attachedSerial;      // empty: the device that was read
  std::string serialAfterRestart;  // another device comes back from the boot switch
  Outcome expected;
  const char* warning;  // logged at WARN when the run fails as expected
};

std::vector<Scenario> scenarios(const std::string& readSerial) {
  std::vector<Scenario> out;
  for (const Stage& stage : kStages) {
    for (const Glitch& glitch : kGlitches) {
      out.push_back({std::string(stage.name) + " / " + glitch.name,
                     {{.kind = glitch.kind,
                       .command = stage.command,
                       .subCommand = stage.subCommand,
                       .when = sim::Occurrence::nth(stage.occurrence)}},
                     {},
                     {},
                     expectedOutcome(stage.id, glitch.kind),
                     expectedWarning(stage.id, glitch.kind)});
    }
  }
  std::string other = readSerial;
  other.back() = other.back() == '1' ? '2' : '1';
  // The first chunk's acknowledgement comes twice, the second copy while the
  // next chunk waits, and the last chunk is lost: paired by command alone,
  // the stray copy would acknowledge a chunk the device never stored.
  out.push_back({"late acknowledgement",
                 {{.kind = FaultKind::DuplicateReply, .command = 0x24, .subCommand = 0x03,
                   .when = sim::Occurrence::nth(1), .delay = 100ms},
                  {.kind = FaultKind::NoReply, .command = 0x24, .subCommand = 0x03, .when = sim::Occurrence::nth(3)}},
                 {},
                 {},
                 Outcome::Upgraded,
                 nullptr});
  out.push_back({"swapped device", {}, other, {}, Outcome::PrepareFailed, "upgrade refused"});
  out.push_back({"swapped during the restart", {}, {}, other, Outcome::PrepareFailed, "upgrade refused"});
  return out;
}

TEST_F(FirmwareReliabilityTest, EveryGlitchAtEveryStage_endsHeldOrFailedInTime) {
  const std::string image = sim::md5Hex(web_.firmwareImage("3", kSerial));
  const auto bound = runBound();
  std::map<Outcome, int> counts;
  int runs = 0;
  int unexpected = 0;
  auto longest = 0ms;
  std::string matrix;

  for (const Scenario& scenario : scenarios(kSerial)) {
    SCOPED_TRACE(scenario.name);
    closeAllSessions();
    auto device = startDevice(scenario.attachedSerial.empty() ? kSerial : scenario.attachedSerial,
                              scenario.serialAfterRestart);
    ASSERT_TRUE(device);
    for (const sim::Fault& fault : scenario.faults) device->addFault(fault);
    LogCapture log;
    upgradetest::ProgressWindow window;
    FirmwareUpgrader upgrader;

    const auto start = std::chrono::steady_clock::now();
    upgrader.run();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);

    const Steps steps = window.steps();
    const Outcome outcome = outcomeOf(steps);
    const sim::StoredImage stored = device->core().image(sim::ImageSlot::J2534);
    ++runs;
    ++counts[outcome];
    longest = std::max(longest, took);
    matrix += "  " + scenario.name + " = " + outcomeName(outcome) + "\n";

    // Never a success for an image the device does not hold.
    if (outcome == Outcome::Upgraded) {
      EXPECT_TRUE(stored.accepted);
      EXPECT_EQ(stored.md5, image);
    }
    EXPECT_NE(outcome, Outcome::Other) << upgradetest::describe(steps);
    EXPECT_LE(took, bound);
    if (outcome != scenario.expected) {
      ++unexpected;
      ADD_FAILURE() << "expected " << outcomeName(scenario.expected) << ", got " << upgradetest::describe(steps)
                    << "\n" << log.dump();
    }
    if (outcome == Outcome::PrepareFailed) {
      EXPECT_TRUE(log.contains("prepare j2534firmware failed rlt : -1", logfacade::kWarn));
    }
    if (outcome == Outcome::TransferFailed) {
      EXPECT_TRUE(log.contains("j2534firmware upgrade failed, rlt : -1", logfacade::kWarn));
    }
    if (outcome != Outcome::Upgraded && outcome == scenario.expected && scenario.warning) {
      EXPECT_TRUE(log.contains(scenario.warning, logfacade::kWarn)) << scenario.warning << "\n" << log.dump();
    }
    if (!scenario.attachedSerial.empty() || !scenario.serialAfterRestart.empty()) {
      EXPECT_EQ(device->core().requestCount(0x24, 0x02) + device->core().requestCount(0x24, 0x03), 0u)
          << "an image frame reached a device other than the one read";
    }
  }

  std::printf("firmware reliability: %d runs, %d upgraded, %d failed at step 6, %d failed at step 8, "
              "%d other, %d unexpected; longest run %lld ms (bound %lld ms, time scale %.2f)\n%s",
              runs, counts[Outcome::Upgraded], counts[Outcome::PrepareFailed], counts[Outcome::TransferFailed],
              counts[Outcome::Other], unexpected, static_cast<long long>(longest.count()),
              static_cast<long long>(bound.count()), kTimeScale, matrix.c_str());
}

}  // namespace
