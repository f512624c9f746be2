#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "SimPackages.h"
#include "VirtualDevice.h"
#include "WebServices.h"
#include "app/MessageTarget.h"
#include "app/Messages.h"
#include "firmware/CFirmwareUpDateUtils.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "session/SessionApi.h"
#include "support/LogCapture.h"
#include "support/SimLinks.h"
#include "support/UpgradeHarness.h"
#include "task/FirmwareUpgrader.h"
#include "task/SystemUpgrader.h"
#include "utils/ZipUtils.h"

// Power lost as a chunk of an image or of the system package arrives, over
// TCP and over the pty: the device comes back in its boot loader or with its
// old system, and the same upgrade run again leaves it holding the offered
// image at the offered version. The suite takes a few seeded positions per
// image and link; KESTREL_POWER_LOSS_SWEEP=1 (scripts/power-loss.sh) takes
// every position of a small image and, of a large one, the first and last
// kEdge and kSampled drawn between. KESTREL_POWER_LOSS_SEED replays a draw.
namespace {

using namespace std::chrono_literals;

constexpr unsigned kEdge = 8, kSampled = 32, kShort = 2;
constexpr unsigned kSystemChunks = 40;

enum class Link { Tcp, Pty };
enum class Target { Firmware, J2534, System };

struct TargetInfo {
  const char* name;
  unsigned chunks;
  unsigned chunksBefore;  // sent earlier in the same run
};

TargetInfo infoOf(Target target) {
  // Model 0's images have fixed sizes.
  constexpr unsigned kFirmware = 0x60000 / CFirmwareUpDateUtils::kChunkSize;
  if (target == Target::Firmware) return {"firmware/DOWNLOAD.BIN", kFirmware, 0};
  if (target == Target::J2534) return {"firmware/J2534.BIN", 0x70000 / CFirmwareUpDateUtils::kChunkSize, kFirmware};
  return {"system/system.zip", kSystemChunks, 0};
}

const char* linkName(Link link) { return link == Link::Tcp ? "tcp" : "pty"; }
void PrintTo(Target target, std::ostream* os) { *os << infoOf(target).name; }
void PrintTo(Link link, std::ostream* os) { *os << linkName(link); }

// Chunk positions from 1: all of a small image; of a larger one the edges,
// where the boot loader starts and ends an image, and a draw between them.
std::vector<unsigned> positionsFor(unsigned chunks, uint32_t seed) {
  std::mt19937 draw(seed);
  std::vector<unsigned> out(chunks);
  std::iota(out.begin(), out.end(), 1u);
  if (chunks > 2 * kEdge + kSampled) {
    std::shuffle(out.begin() + kEdge, out.end() - kEdge, draw);
    out.erase(out.begin() + kEdge + kSampled, out.end() - kEdge);
  }
  const char* sweep = std::getenv("KESTREL_POWER_LOSS_SWEEP");
  if (!sweep || std::string(sweep) != "1") {
    std::shuffle(out.begin(), out.end(), draw);
    out.resize(std::min<size_t>(out.size(), kShort));
  }
  std::sort(out.begin(), out.end());
  return out;
}

class PowerLossTest : public ::testing::TestWithParam<std::tuple<Target, Link>> {
 protected:
  void SetUp() override {
    scantest::processLinks();
    unsetenv("KESTREL_SERVICES");
    platform::setTimeScale(0.05);
    ASSERT_TRUE(web_.start());
    // A boot-mode USB port takes precedence over the stored address.
    ASSERT_TRUE(upgradetest::readOverTcp(kSerial));
  }
  void TearDown() override {
    closeAllSessions();
    device_.reset();
    platform::setTimeScale(1.0);
    ziputils::removeTree(platform::updateDir());
  }

  // A fresh device that loses power at the given chunk of target. Over the
  // pty the firmware's boot loader has no other link; the system's read-back
  // after its install goes over TCP either way.
  bool startDevice(Target target, Link link, unsigned position) {
    closeAllSessions();
    device_.reset();
    sim::LinkConfig links = scantest::linkConfig();
    links.pty = link == Link::Pty;
    links.tcp = link == Link::Tcp || target == Target::System;
    device_ = scantest::startDevice(
        {.serialNumber = kSerial, .mode = link == Link::Pty ? sim::DeviceMode::BootLoader : sim::DeviceMode::Normal,
         .restartDelay = 300ms},
        links);
    if (!device_) return false;
    device_->addFault(sim::faultOn(target == Target::System ? kCmdSystemChunk : kCmdImageChunk,
                                   {.kind = sim::FaultKind::PowerLoss,
                                    .when = sim::Occurrence::nth(infoOf(target).chunksBefore + position)}));
    return true;
  }

  // Whether the run reported success.
  bool run(Target target) {
    if (target != Target::System) {
      upgradetest::ProgressWindow window;
      FirmwareUpgrader().run();
      return window.steps() == upgradetest::Steps{{0, 0}, {0, 5}, {0, 7}, {1, 0}, {1, 5}, {1, 7}};
    }
    auto task = std::make_shared<SystemUpgrader>();
    uintptr_t last = 0;  // the window's thread only, until its shutdown joins it
    auto window = std::make_shared<QueuedMessageTarget>([&](const AppMessage& m) {
      if (m.id == UM_SYSTEM_PROGRESS) last = m.wParam;
    });
    AppState::getInstance().setTarget(window);
    task->setParam("sn", kSerial);
    task->run();
    AppState::getInstance().setTarget(nullptr);
    window->shutdown();
    return last == static_cast<uintptr_t>(SystemUpgrader::kEnd << 8 | SystemUpgrader::kDone);
  }

  // The device holds what was offered at its version, and every chunk
  // crossed the link under test.
  bool holdsOffered(Target target, Link link) const {
    const sim::DeviceConfig config = device_->core().config();
    auto holds = [&](sim::ImageSlot slot, const char* softType) {
      const sim::StoredImage image = device_->core().image(slot);
      return image.accepted && image.md5 == sim::md5Hex(web_.firmwareImage(softType, kSerial));
    };
    const sim::StoredPackage package = device_->core().systemPackage();
    bool held = target == Target::System
                    ? package.installed && package.md5 == sim::md5Hex(web_.systemImage()) && config.systemVersion == "206"
                    : holds(sim::ImageSlot::Firmware, "1") && holds(sim::ImageSlot::J2534, "3") &&
                          config.firmwareVersion == "V1.20" && config.j2534Version == "V2.20";
    const sim::LinkKind expected = link == Link::Pty ? sim::LinkKind::Serial
                                   : target == Target::System ? sim::LinkKind::Config
                                                              : sim::LinkKind::Device;
    for (const sim::RequestRecord& r : device_->core().requestLog()) {
      const DeviceCommand request{r.command, r.subCommand};
      if ((request == kCmdImageChunk || request == kCmdSystemChunk) && r.link != expected) held = false;
    }
    return held;
  }

  const std::string kSerial = sim::sampleSerial(0, true);
  sim::WebServices web_{{.systemImageSize = kSystemChunks * SystemTransfer::kChunkSize - 1000}};
  std::unique_ptr<sim::VirtualDevice> device_;
};

TEST_P(PowerLossTest, AtAnyChunk_theSameUpgradeAgainRecovers) {
  const auto [target, link] = GetParam();
  const char* seedText = std::getenv("KESTREL_POWER_LOSS_SEED");
  const uint32_t seed = (seedText ? static_cast<uint32_t>(std::strtoul(seedText, nullptr, 10)) : 22u) +
                        static_cast<uint32_t>(target) * 2 + static_cast<uint32_t>(link);
  const std::vector<unsigned> positions = positionsFor(infoOf(target).chunks, seed);
  std::string lost;
  size_t recovered = 0;
  for (unsigned position : positions) {
    SCOPED_TRACE("power lost at chunk " + std::to_string(position));
    ASSERT_TRUE(startDevice(target, link, position));
    LogCapture log;
    // Never a success for a run the device lost power in.
    const bool first = run(target);
    EXPECT_FALSE(first);
    EXPECT_EQ(device_->restartCount(), 1u);
    EXPECT_TRUE(device_->waitOnline(10s));

    const bool again = run(target);
    const bool held = holdsOffered(target, link);
    EXPECT_TRUE(again && held) << "second run " << (again ? "succeeded" : "failed") << ", device "
                               << (held ? "holds" : "does not hold") << " the offered software\n" << log.dump();
    if (first || !again || !held) {
      lost += " " + std::to_string(position);
    } else {
      ++recovered;
    }
  }
  std::printf("%s %s: %zu positions, %zu recovered (seed %u)%s%s\n", infoOf(target).name, linkName(link),
              positions.size(), recovered, seed, lost.empty() ? "" : "; not recovered at", lost.c_str());
}

std::string testName(Target target, Link link) {
  const char* targets[] = {"Firmware", "J2534", "System"};
  return std::string(targets[static_cast<int>(target)]) + (link == Link::Tcp ? "OverTcp" : "OverPty");
}

INSTANTIATE_TEST_SUITE_P(Sweep, PowerLossTest,
                         ::testing::Combine(::testing::Values(Target::Firmware, Target::J2534, Target::System),
                                            ::testing::Values(Link::Tcp, Link::Pty)),
                         [](const auto& info) { return testName(std::get<0>(info.param), std::get<1>(info.param)); });

}  // namespace
