#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "SimPackages.h"
#include "VirtualDevice.h"
#include "WebServices.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "session/SessionApi.h"
#include "support/LogCapture.h"
#include "support/SimLinks.h"
#include "support/UpgradeHarness.h"
#include "task/FirmwareUpgrader.h"
#include "utils/LogFacade.h"
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

constexpr char kUpgraded[] = "upgraded", kStep6[] = "step 6", kStep8[] = "step 8";

std::string outcomeOf(const Steps& steps) {
  if (steps == Steps{{1, 0}, {1, 5}, {1, 7}}) return kUpgraded;
  if (steps == Steps{{1, 0}, {1, 6}}) return kStep6;
  if (steps == Steps{{1, 0}, {1, 5}, {1, 8}}) return kStep8;
  return "other";
}

// What the protocol makes of a glitch at each stage: a split or duplicated
// reply always ends upgraded; a refused, late or otherwise lost reply ends as
// its column says, with the warning that names the cause where one is logged.
// The mode read has four more attempts (a dropped network link comes back by
// itself), a chunk two more tries unless refused; a late reply comes after
// every 2000 ms wait but within the announcement's 5000 ms.
struct Stage {
  const char* name;
  uint8_t command, subCommand;
  unsigned occurrence;
  const char *refused, *late, *lost;
  const char *refusedWarning, *lostWarning;
};

const Stage kStages[] = {
    {"mode read", 0x21, 0x14, 1, kUpgraded, kUpgraded, kUpgraded, nullptr, nullptr},
    {"boot switch", 0x24, 0x07, 1, kStep6, kStep6, kStep6, "switch boot failed", "recv 6407 failed"},
    {"safety 1", 0x25, 0x02, 1, kStep8, kStep8, kStep8, "val is not 0x02, actually val is 01", "fail to recieve 6502"},
    {"safety 2", 0x25, 0x03, 1, kStep8, kStep8, kStep8, "safety check failed", "fail to recieve 6503"},
    {"announcement", 0x24, 0x02, 1, kStep8, kUpgraded, kStep8, nullptr, "recv 6402 failed"},
    {"first chunk", 0x24, 0x03, 1, kStep8, kUpgraded, kUpgraded, " parse msg 6403 failed, exist", nullptr},
    {"middle chunk", 0x24, 0x03, 2, kStep8, kUpgraded, kUpgraded, " parse msg 6403 failed, exist", nullptr},
    {"last chunk", 0x24, 0x03, 3, kStep8, kUpgraded, kUpgraded, " parse msg 6403 failed, exist", nullptr},
    {"digest", 0x24, 0x04, 1, kStep8, kStep8, kStep8, nullptr, nullptr},
};

const std::pair<FaultKind, const char*> kGlitches[] = {
    {FaultKind::NoReply, "no reply"},       {FaultKind::BadChecksum, "bad checksum"}, {FaultKind::SplitReply, "split"},
    {FaultKind::DuplicateReply, "duplicate"}, {FaultKind::LateReply, "late"},       {FaultKind::RefusedStatus, "refused"},
    {FaultKind::Disconnect, "disconnect"},
};

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

// A glitch, or a device other than the one read, and what must come of it.
struct Scenario {
  std::string name;
  std::vector<sim::Fault> faults;
  std::string attachedSerial;      // empty: the device that was read
  std::string serialAfterRestart;  // another device comes back from the boot switch
  std::string expected;
  const char* warning;  // logged at WARN when the run fails as expected
};

std::vector<Scenario> scenarios(const std::string& readSerial) {
  std::vector<Scenario> out;
  for (const Stage& s : kStages) {
    for (const auto& [kind, glitch] : kGlitches) {
      const bool harmless = kind == FaultKind::SplitReply || kind == FaultKind::DuplicateReply;
      const bool refused = kind == FaultKind::RefusedStatus;
      out.push_back({std::string(s.name) + " / " + glitch,
                     {{.kind = kind, .command = s.command, .subCommand = s.subCommand,
                       .when = sim::Occurrence::nth(s.occurrence)}},
                     {}, {},
                     harmless ? kUpgraded : refused ? s.refused : kind == FaultKind::LateReply ? s.late : s.lost,
                     refused ? s.refusedWarning : s.lostWarning});
    }
  }
  std::string other = readSerial;
  other.back() = other.back() == '1' ? '2' : '1';
  // The first chunk's acknowledgement comes twice, the second copy while the
  // next chunk waits, and the last chunk is lost: paired by command alone,
  // the stray copy would acknowledge a chunk the device never stored.
  out.push_back({"late acknowledgement",
                 {sim::faultOn(kCmdImageChunk, {.kind = FaultKind::DuplicateReply,
                   .when = sim::Occurrence::nth(1), .delay = 100ms}),
                  sim::faultOn(kCmdImageChunk, {.kind = FaultKind::NoReply, .when = sim::Occurrence::nth(3)})},
                 {}, {}, kUpgraded, nullptr});
  out.push_back({"swapped device", {}, other, {}, kStep6, "upgrade refused"});
  out.push_back({"swapped during the restart", {}, {}, other, kStep6, "upgrade refused"});
  return out;
}

class FirmwareReliabilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::processLinks();
    unsetenv("KESTREL_SERVICES");
    platform::setTimeScale(kTimeScale);
    ASSERT_TRUE(web_.start());
    // No USB link: every exchange of the table runs over TCP.
    ASSERT_TRUE(upgradetest::readOverTcp(kSerial));
  }
  void TearDown() override {
    closeAllSessions();
    platform::setTimeScale(1.0);
    ziputils::removeTree(platform::updateDir());
  }

  const std::string kSerial = sim::sampleSerial(4, true);
  sim::WebServices web_{{.anySizeImage = kImageSize}};
};

TEST_F(FirmwareReliabilityTest, EveryGlitchAtEveryStage_endsHeldOrFailedInTime) {
  const std::string image = sim::md5Hex(web_.firmwareImage("3", kSerial));
  const auto bound = runBound();
  sim::LinkConfig links = scantest::linkConfig();
  links.pty = false;

  for (const Scenario& scenario : scenarios(kSerial)) {
    SCOPED_TRACE(scenario.name);
    closeAllSessions();
    auto device = scantest::startDevice({.serialNumber = scenario.attachedSerial.empty() ? kSerial : scenario.attachedSerial,
                                         .serialAfterRestart = scenario.serialAfterRestart, .restartDelay = 300ms},
                                        links);
    ASSERT_TRUE(device);
    for (const sim::Fault& fault : scenario.faults) device->addFault(fault);
    LogCapture log;
    upgradetest::ProgressWindow window;
    FirmwareUpgrader upgrader;

    const auto start = std::chrono::steady_clock::now();
    upgrader.run();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);

    const Steps steps = window.steps();
    const std::string outcome = outcomeOf(steps);
    const sim::StoredImage stored = device->core().image(sim::ImageSlot::J2534);

    // Never a success for an image the device does not hold.
    if (outcome == kUpgraded) {
      EXPECT_TRUE(stored.accepted);
      EXPECT_EQ(stored.md5, image);
    }
    EXPECT_LE(took, bound);
    EXPECT_EQ(outcome, scenario.expected) << upgradetest::describe(steps) << "\n" << log.dump();
    if (outcome != kUpgraded && outcome == scenario.expected && scenario.warning) {
      EXPECT_TRUE(log.contains(scenario.warning, logfacade::kWarn)) << scenario.warning << "\n" << log.dump();
    }
    if (!scenario.attachedSerial.empty() || !scenario.serialAfterRestart.empty()) {
      EXPECT_EQ(device->core().requestCount(kCmdImageAnnounce) + device->core().requestCount(kCmdImageChunk), 0u)
          << "an image frame reached a device other than the one read";
    }
  }
}

}  // namespace
