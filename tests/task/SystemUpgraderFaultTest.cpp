#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "SimPackages.h"
#include "VirtualDevice.h"
#include "WebServices.h"
#include "app/AppState.h"
#include "app/Messages.h"
#include "app/MessageTarget.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "session/SessionApi.h"
#include "support/SimLinks.h"
#include "support/UpgradeHarness.h"
#include "task/SystemUpgrader.h"
#include "utils/ZipUtils.h"

// The system upgrade against every fault the virtual device and the web
// services can show, at every stage, over the configuration port (TCP) and
// the boot-mode serial port (pty). No scenario may report success unless the
// device installed exactly the offered system.zip, and none may outlast its
// bound.
namespace {

using namespace std::chrono_literals;
using sim::FaultKind;
using sim::Occurrence;
using sim::WebFaultKind;
using Report = std::array<int, 3>;

constexpr size_t kImage = 3 * 8192 + 100;  // four chunks: first, two middle, last
constexpr auto kBound = 25s;
constexpr char kQuery[] = "/Veyra/v3/soft-wares";
constexpr char kDownload[] = "/packages/system/*";

enum class Link { Tcp, Pty };

struct Scenario {
  const char* name;
  std::vector<sim::Fault> faults{};
  std::vector<sim::WebFault> webFaults{};
  int failsAt = 0;  // 0: the upgrade succeeds; else the stage of the final (stage, 2, 0)
  bool installRestarts = true;
  std::chrono::milliseconds restartDelay{300};
  double scaleAfterInstall = 0;  // 0: unchanged; shrinks the drop and return bounds
};

sim::Fault chunk(FaultKind kind, unsigned nth, std::chrono::milliseconds delay = {}) {
  return {.kind = kind, .command = 0x2C, .subCommand = 0x05, .when = Occurrence::nth(nth), .delay = delay};
}
sim::Fault install(FaultKind kind, Occurrence when = Occurrence::every(), std::chrono::milliseconds delay = {}) {
  return {.kind = kind, .command = 0x2C, .subCommand = 0x07, .when = when, .delay = delay};
}
sim::WebFault web(WebFaultKind kind, const char* path, Occurrence when = Occurrence::every()) {
  return {.kind = kind, .path = path, .when = when, .delay = 2000ms};
}

const Scenario kScenarios[] = {
    // The query fails: the package is chosen locally (the same package).
    {"query_404", {}, {web(WebFaultKind::NotFound, kQuery)}},
    {"query_500", {}, {web(WebFaultKind::ServerError, kQuery)}},
    {"query_truncated_always", {}, {web(WebFaultKind::Truncated, kQuery)}},
    {"query_truncated_once", {}, {web(WebFaultKind::Truncated, kQuery, Occurrence::nth(1))}},
    {"query_slow", {}, {web(WebFaultKind::Slow, kQuery)}},
    {"download_404", {}, {web(WebFaultKind::NotFound, kDownload)}, 2},
    {"download_500", {}, {web(WebFaultKind::ServerError, kDownload)}, 2},
    {"download_truncated", {}, {web(WebFaultKind::Truncated, kDownload)}, 2},
    {"download_404_once", {}, {web(WebFaultKind::NotFound, kDownload, Occurrence::nth(1))}},
    {"download_truncated_twice", {}, {web(WebFaultKind::Truncated, kDownload, Occurrence::nth(1)),
                                      web(WebFaultKind::Truncated, kDownload, Occurrence::nth(2))}},
    {"first_chunk_unanswered", {chunk(FaultKind::NoReply, 1)}, {}, 4},
    {"first_chunk_refused", {chunk(FaultKind::RefusedStatus, 1)}, {}, 4},
    {"first_chunk_split", {chunk(FaultKind::SplitReply, 1)}},
    {"middle_chunk_empty_reply", {chunk(FaultKind::EmptyReply, 2)}, {}, 4},
    {"middle_chunk_bad_checksum", {chunk(FaultKind::BadChecksum, 2)}, {}, 4},
    {"middle_chunk_duplicate", {chunk(FaultKind::DuplicateReply, 2)}},
    {"middle_chunk_late", {chunk(FaultKind::LateReply, 3)}, {}, 4},
    {"middle_chunk_disconnect", {chunk(FaultKind::Disconnect, 3)}, {}, 4},
    {"last_chunk_unanswered", {chunk(FaultKind::NoReply, 4)}, {}, 4},
    {"last_chunk_refused", {chunk(FaultKind::RefusedStatus, 4)}, {}, 4},
    {"last_chunk_split", {chunk(FaultKind::SplitReply, 4)}},
    {"last_chunk_duplicate", {chunk(FaultKind::DuplicateReply, 4)}},
    {"install_unanswered_once", {install(FaultKind::NoReply, Occurrence::nth(1))}},
    {"install_unanswered", {install(FaultKind::NoReply)}, {}, 5},
    {"install_empty_reply", {install(FaultKind::EmptyReply)}, {}, 5},
    {"install_refused", {install(FaultKind::RefusedStatus)}, {}, 5},
    {"install_bad_checksum", {install(FaultKind::BadChecksum, Occurrence::nth(1))}, {}, 5},
    {"install_late", {install(FaultKind::LateReply, Occurrence::nth(1), 4000ms)}, {}, 5},
    {"install_disconnect", {install(FaultKind::Disconnect, Occurrence::nth(1))}, {}, 5},
    {"install_split", {install(FaultKind::SplitReply)}},
    {"install_duplicate", {install(FaultKind::DuplicateReply)}},
    {"never_drops", {}, {}, 5, false, 300ms, 0.002},
    {"drops_and_returns_at_once", {}, {}, 0, true, 1ms},
    {"never_returns", {install(FaultKind::NoComeback)}, {}, 5, true, 300ms, 0.002},
    {"returns_late", {}, {}, 0, true, 20000ms},
};

class SystemUpgradeFaults : public ::testing::TestWithParam<std::tuple<Link, Scenario>> {
 protected:
  void SetUp() override {
    scantest::processLinks();
    unsetenv("KESTREL_SERVICES");
    platform::setTimeScale(0.05);
  }
  void TearDown() override {
    closeAllSessions();
    platform::setTimeScale(1.0);
    ziputils::removeTree(platform::updateDir());
  }
};

TEST_P(SystemUpgradeFaults, NoFalseSuccessWithinBound) {
  const auto& [link, s] = GetParam();
  sim::WebServices services({.systemImageSize = kImage});
  ASSERT_TRUE(services.start());
  auto device = scantest::startDevice({.serialNumber = sim::sampleSerial(1, false),
                                       .mode = link == Link::Pty ? sim::DeviceMode::BootLoader : sim::DeviceMode::Normal,
                                       .installRestarts = s.installRestarts,
                                       .restartDelay = s.restartDelay});
  ASSERT_TRUE(device);
  for (const auto& f : s.faults) device->addFault(f);
  for (const auto& f : s.webFaults) services.addFault(f);
  const std::vector<uint8_t> image = services.systemImage();
  const std::string local = platform::joinPath(platform::workRoot(), "local-system.zip");
  upgradetest::writeFile(local, sim::buildSystemPackage("V3.10", "206", image));

  auto task = std::make_shared<SystemUpgrader>();
  std::mutex lock;  // guards reports
  std::vector<Report> reports;
  auto window = std::make_shared<QueuedMessageTarget>([&](const AppMessage& m) {
    if (m.id != UM_SYSTEM_PROGRESS) return;
    const Report r{static_cast<int>(m.wParam >> 8), static_cast<int>(m.wParam & 0xFF), static_cast<int>(m.lParam)};
    {
      std::lock_guard<std::mutex> guard(lock);
      reports.push_back(r);
    }
    if (r == Report{1, 3, 0}) task->setParam("pkgPath", local);
    if (r == Report{5, 0, 100} && s.scaleAfterInstall > 0) platform::setTimeScale(s.scaleAfterInstall);
  });
  AppState::getInstance().setTarget(window);
  task->setParam("sn", device->core().config().serialNumber);
  const auto begin = std::chrono::steady_clock::now();
  task->run();
  const auto elapsed = std::chrono::steady_clock::now() - begin;
  AppState::getInstance().setTarget(nullptr);
  window->shutdown();

  std::string shown;
  for (const Report& r : reports) shown += "(" + std::to_string(r[0]) + "," + std::to_string(r[1]) + "," + std::to_string(r[2]) + ")";
  ASSERT_FALSE(reports.empty());
  const sim::StoredPackage stored = device->core().systemPackage();
  const bool success = reports.back() == Report{6, 0, 0};
  if (success) {
    EXPECT_TRUE(stored.installed && stored.md5 == sim::md5Hex(image)) << shown;
  }
  EXPECT_EQ(success, s.failsAt == 0) << shown;
  if (s.failsAt != 0) {
    EXPECT_EQ(reports.back(), (Report{s.failsAt, 2, 0})) << shown;
  }
  // A failed chunk is never followed by an install.
  if (s.failsAt == 4) {
    EXPECT_EQ(device->core().requestCount(0x2C, 0x07), 0u);
  }
  EXPECT_LT(elapsed, kBound);
}

std::string scenarioName(const ::testing::TestParamInfo<std::tuple<Link, Scenario>>& info) {
  return std::string(std::get<0>(info.param) == Link::Tcp ? "Tcp_" : "Pty_") + std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Matrix, SystemUpgradeFaults,
                         ::testing::Combine(::testing::Values(Link::Tcp, Link::Pty), ::testing::ValuesIn(kScenarios)),
                         scenarioName);

}  // namespace
