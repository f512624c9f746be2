#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "SimPackages.h"
#include "VirtualDevice.h"
#include "WebServices.h"
#include "app/AppState.h"
#include "app/Messages.h"
#include "app/MessageTarget.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "session/Session.h"
#include "session/SessionApi.h"
#include "support/FakeLink.h"
#include "support/LogCapture.h"
#include "support/SimLinks.h"
#include "support/UpgradeHarness.h"
#include "task/SystemUpgrader.h"
#include "utils/ZipUtils.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using sim::FaultKind;
using sim::Occurrence;
using sim::WebFaultKind;
using Report = std::array<int, 3>;  // stage, sub-state, value
using Reports = std::vector<Report>;
using Bytes = std::vector<uint8_t>;
using Act = std::function<void(SystemUpgrader&, const Report&)>;

Report reportOf(SystemStage stage, SystemResult result, int value = 0) {
  return {static_cast<int>(stage), static_cast<int>(result), value};
}

// A run's first steps followed by those of an install that succeeded.
Reports succeeded(Reports first) {
  first.insert(first.end(), {reportOf(SystemStage::kTransfer, SystemResult::kDone),
                             reportOf(SystemStage::kInstall, SystemResult::kDone, 100),
                             reportOf(SystemStage::kInstall, SystemResult::kDone), reportOf(SystemStage::kEnd, SystemResult::kDone)});
  return first;
}

bool isWait(const Report& r) { return r[0] == SystemUpgrader::kInstall && r[1] == SystemUpgrader::kWaiting; }

// The reports without the transfer's percentages and the waits for the device.
Reports steps(Reports all) {
  std::erase_if(all, [](const Report& r) { return (r[0] == 4 && r[1] == 0 && r[2] > 0) || isWait(r); });
  return all;
}

// A system.zip of exactly size bytes; the device takes any bytes.
Bytes exactImage(size_t size) {
  Bytes out(size);
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(i * 131 + i / 8192);
  return out;
}

Bytes packageBytes(const std::string& ini, const Bytes& image, bool withIni = true) {
  std::vector<upgradetest::ZipItem> items = {{"V3.10_207/system.zip", std::string(image.begin(), image.end())}};
  if (withIni) items.push_back({"V3.10_207/system.ini", ini});
  return upgradetest::makeZip(platform::joinPath(platform::workRoot(), "scratch.zip"), items);
}

class SystemUpgraderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::processLinks();
    unsetenv("KESTREL_SERVICES");
    // Room for a loaded machine: the device's replies are not scaled.
    platform::setTimeScale(0.2);
  }
  void TearDown() override {
    closeAllSessions();
    device_.reset();
    web_.reset();
    platform::setTimeScale(1.0);
    ziputils::removeTree(platform::updateDir());
  }

  void start(sim::DeviceConfig config, sim::WebConfig web = {}) {
    closeAllSessions();
    device_.reset();
    web_ = std::make_unique<sim::WebServices>(web);
    ASSERT_TRUE(web_->start());
    device_ = scantest::startDevice(config);
    ASSERT_TRUE(device_);
  }

  // A package in a user's folder that also holds a "Temp" of the user's own.
  static std::string userPackage(const Bytes& bytes) {
    const std::string folder = platform::joinPath(platform::workRoot(), "Downloads");
    upgradetest::writeFile(platform::joinPath(folder, "Temp/keep.txt"), {'k'});
    upgradetest::writeFile(platform::joinPath(folder, "system-pkg.zip"), bytes);
    return platform::joinPath(folder, "system-pkg.zip");
  }

  // One run as the window drives it: "sn" set, the choice (1, 3, 0) answered
  // with answer (unless empty), act called on every report; "deviceSn" set
  // when given, a stop requested first when asked.
  Reports runUpgrade(const std::string& serial, const std::string& answer, const Act& act = nullptr,
                     const std::string& deviceSerial = "", bool stopFirst = false) {
    auto task = std::make_shared<SystemUpgrader>();
    Reports reports;  // the window's thread only, until its shutdown joins it
    auto window = std::make_shared<QueuedMessageTarget>([&](const AppMessage& m) {
      if (m.id != UM_SYSTEM_PROGRESS) return;
      const Report r{static_cast<int>(m.wParam >> 8), static_cast<int>(m.wParam & 0xFF), static_cast<int>(m.lParam)};
      reports.push_back(r);
      if (act) act(*task, r);
      if (r == reportOf(SystemStage::kPrepare, SystemResult::kNoPackage) && !answer.empty()) task->setParam("pkgPath", answer);
    });
    AppState::getInstance().setTarget(window);
    task->setParam("sn", serial);
    if (!deviceSerial.empty()) task->setParam("deviceSn", deviceSerial);
    if (stopFirst) task->stop();
    const auto begin = std::chrono::steady_clock::now();
    task->run();
    elapsed_ = std::chrono::steady_clock::now() - begin;
    AppState::getInstance().setTarget(nullptr);
    window->shutdown();
    EXPECT_TRUE(task->getParam("sn").empty());
    return reports;
  }

  bool holdsInstalled(const Bytes& image) const {
    const sim::StoredPackage stored = device_->core().systemPackage();
    return stored.installed && stored.md5 == sim::md5Hex(image);
  }

  // Flag and flow id of every chunk the device received.
  std::vector<std::array<int, 2>> chunksSent() const {
    std::vector<std::array<int, 2>> out;
    for (const auto& r : device_->core().requestLog()) {
      if (r.command == 0x2C && r.subCommand == 0x05 && r.data.size() >= 5) out.push_back({r.data[1], r.data[2]});
    }
    return out;
  }

  std::unique_ptr<sim::WebServices> web_;
  std::unique_ptr<sim::VirtualDevice> device_;
  std::chrono::steady_clock::duration elapsed_{};
};

// Local packages chosen by the user: what goes out, what is reported, and
// that neither the user's folder nor a work folder is left changed.
TEST_F(SystemUpgraderTest, LocalPackages_endAsTheirContentsDecide) {
  struct Case {
    const char* name;
    bool acceptable;
    std::string ini;
    size_t imageSize;
    bool withIni = true;
  };
  const std::string ini = "[Info]\r\nVersion=207\r\n";
  const Case cases[] = {
      {"20000 bytes", true, ini, 20000},
      {"exact multiple of the chunk size", true, ini, 2 * 8192},
      {"257 chunks: flow ids wrap to 1", true, ini, 256 * 8192 + 1},
      {"no system.ini", false, ini, 100, false},
      {"empty Version", false, "[Info]\nVersion=\n", 100},
      {"Version above 128 bytes", false, "[Info]\nVersion=" + std::string(129, '7') + "\n", 100},
      {"control character in a version", false, ini + "Corbelb_Version=1\x01\r\n", 100},
      {"empty system.zip", false, ini, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    start({.serialNumber = sim::sampleSerial(1, false)}, {.systemPackageOnline = false});
    const Bytes image = exactImage(c.imageSize);
    device_->core().registerVersion(sim::md5Hex(image), "207");
    const std::string package = userPackage(packageBytes(c.ini, image, c.withIni));
    const auto userBefore = upgradetest::treeOf(fs::path(package).parent_path());

    const Reports expected = c.acceptable ? succeeded({{1, 3, 0}, {3, 0, 0}}) : Reports{{1, 3, 0}, {3, 0, 0}, {4, 2, 0}};
    EXPECT_EQ(steps(runUpgrade(device_->core().config().serialNumber, package)), expected);

    const auto chunks = chunksSent();
    EXPECT_EQ(chunks.size(), c.acceptable ? (c.imageSize + 8191) / 8192 : 0);
    for (size_t i = 0; i < chunks.size(); ++i) {
      EXPECT_EQ(chunks[i][0], i + 1 == chunks.size() ? 0xF5 : 0x55) << i;
      EXPECT_EQ(chunks[i][1], i == 0 ? 0 : static_cast<int>((i - 1) % 255 + 1)) << i;
    }
    EXPECT_EQ(holdsInstalled(image), c.acceptable);
    EXPECT_EQ(upgradetest::treeOf(fs::path(package).parent_path()), userBefore);
    EXPECT_TRUE(upgradetest::treeOf(platform::updateDir()).empty());
  }
}

// The package choice, and stops in the middle of a run: every one ends
// without a success report and without an install request, in time.
TEST_F(SystemUpgraderTest, ChoiceAndStops_endTheRunAsAFailure) {
  struct Case {
    const char* name;
    bool online, withSerial;
    const char* answer;
    Act act;
    Reports steps;
    bool stopFirst = false;
  };
  auto stopAt = [](Report when) {
    return [when](SystemUpgrader& task, const Report& r) {
      if (r == when) task.stop();
    };
  };
  const Reports noFile = {{1, 3, 0}, {3, 1, 0}, {6, 1, 0}};
  const Case cases[] = {
      {"no package online, user has none", false, true, "nofile", nullptr, noFile},
      {"no serial number: nothing asked online", true, false, "nofile", nullptr, noFile},
      {"the user never chooses", false, true, "", [](SystemUpgrader&, const Report& r) {
         if (r == reportOf(SystemStage::kPrepare, SystemResult::kNoPackage)) platform::setTimeScale(0.0005);
       }, noFile},
      {"stop during the choice", false, true, "", stopAt({1, 3, 0}), {{1, 3, 0}, {3, 2, 0}}},
      {"stop during the transfer", true, true, "", stopAt({4, 0, 10}), {{1, 0, 0}, {2, 0, 0}, {4, 2, 0}}},
      {"stop before the run", true, true, "", nullptr, {{1, 2, 0}}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::setTimeScale(0.2);
    start({.serialNumber = sim::sampleSerial(1, false)}, {.systemPackageOnline = c.online, .systemImageSize = 100 * 8192});
    const Reports reports =
        runUpgrade(c.withSerial ? device_->core().config().serialNumber : "", c.answer, c.act, "", c.stopFirst);
    EXPECT_EQ(steps(reports), c.steps) << ::testing::PrintToString(reports);
    EXPECT_LT(elapsed_, 10s);
    EXPECT_EQ(device_->core().requestCount(kCmdSystemInstall), 0u);
    EXPECT_EQ(web_->hits("/Veyra/v3/soft-wares") == 0, !c.withSerial || c.stopFirst);
  }
}

// Acknowledgements that do not acknowledge the chunk end the transfer
// after it, without an install.
TEST_F(SystemUpgraderTest, WrongAcknowledgement_endsTheTransferWithoutInstall) {
  struct Case {
    const char* name;
    uint8_t serialShift;
    Bytes data;  // flow id 0 is the right one
  };
  // A refusal and an empty reply are the fault matrix's.
  const Case cases[] = {{"wrong flow id", 0, {1, 0}}, {"wrong serial", 1, {0, 0}}, {"one data byte", 0, {0}}};
  const std::string package = userPackage(packageBytes("[Info]\nVersion=1\n", exactImage(20000)));
  const std::string serial = "744443100001";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto link = std::make_shared<sessiontest::FakeLink>();
    link->onWrite = [&](const Bytes& w) {
      Bytes data = c.data;
      uint8_t shift = c.serialShift;
      if (w[7] == 0x21 && w[8] == 0x33) {  // who is there: the device that was read
        data = {static_cast<uint8_t>(serial.size())};
        data.insert(data.end(), serial.begin(), serial.end());
        shift = 0;
      }
      link->push(sessiontest::frameBytes(static_cast<uint8_t>(w[6] + shift), static_cast<uint8_t>(w[7] + 0x40), w[8], data));
    };
    setConnectionFactoryForTest([link](const SessionEndpoint&) { return std::make_unique<sessiontest::FakeConnection>(link); });
    const Reports reports = runUpgrade("", package, nullptr, serial);
    setConnectionFactoryForTest({});
    closeAllSessions();

    EXPECT_EQ(reports, (Reports{{1, 3, 0}, {3, 0, 0}, {4, 2, 0}}));
    ASSERT_EQ(link->written().size(), 2u);
    EXPECT_EQ(link->written()[1][8], 0x05);
  }
}

// The upgrade against every fault the virtual device and the web services can
// show, at every stage, over the configuration port (TCP) and the boot-mode
// serial port (pty): no success unless the device installed exactly the
// offered system.zip, and no run beyond its bound.
enum class Link { Tcp, Pty };

struct Scenario {
  const char* name;
  std::vector<sim::Fault> faults{};
  std::vector<sim::WebFault> webFaults{};
  // 0: the upgrade succeeds; -1: either outcome; else the stage of the final (stage, 2, 0)
  int failsAt = 0;
  bool installRestarts = true;
  std::chrono::milliseconds restartDelay{300};
  double scaleAfterInstall = 0;  // 0: unchanged; shrinks the drop and return bounds
  Report scaleAt{5, 0, 100};  // the report after which scaleAfterInstall applies
  std::function<void(sim::DeviceConfig&)> device{};
  const char* expectedSerial = nullptr;  // another device was read: nothing may be sent
  bool waits = false;                    // the wait for the device's return is reported
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

sim::Fault chunk(FaultKind kind, unsigned nth) {
  return sim::faultOn(kCmdSystemChunk, {.kind = kind, .when = Occurrence::nth(nth)});
}
sim::Fault install(FaultKind kind, Occurrence when = Occurrence::every(), std::chrono::milliseconds delay = {}) {
  return sim::faultOn(kCmdSystemInstall, {.kind = kind, .when = when, .delay = delay});
}
sim::WebFault web(WebFaultKind kind, const char* path, Occurrence when = Occurrence::every()) {
  return {.kind = kind, .path = path, .when = when, .delay = 2000ms};
}

constexpr char kQuery[] = "/Veyra/v3/soft-wares";
constexpr char kDownload[] = "/packages/system/*";

const Scenario kScenarios[] = {
    // A failed query offers the local package (the same one).
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
    // Parts far apart, or one slow reply, still within the acknowledgement's wait.
    {"middle_chunk_split_slowly", {sim::faultOn(kCmdSystemChunk, {.kind = FaultKind::SplitReply,
                                                                  .when = Occurrence::nth(2), .delay = 1000ms})}},
    {"middle_chunk_slow", {sim::faultOn(kCmdSystemChunk, {.kind = FaultKind::LateReply, .when = Occurrence::nth(2),
                                                          .delay = 1000ms})}},
    {"middle_chunk_late", {chunk(FaultKind::LateReply, 3)}, {}, 4},
    {"middle_chunk_disconnect", {chunk(FaultKind::Disconnect, 3)}, {}, 4},
    {"last_chunk_unanswered", {chunk(FaultKind::NoReply, 4)}, {}, 4},
    {"last_chunk_refused", {chunk(FaultKind::RefusedStatus, 4)}, {}, 4},
    {"last_chunk_split", {chunk(FaultKind::SplitReply, 4)}},
    {"last_chunk_duplicate", {chunk(FaultKind::DuplicateReply, 4)}},
    // The install is asked for once per run: a lost one is not repeated, and
    // the device, still on its old system, makes the run fail.
    {.name = "install_unanswered_once", .faults = {install(FaultKind::NoReply, Occurrence::nth(1))}, .failsAt = 5,
     .scaleAfterInstall = 0.02, .scaleAt = {4, 0, 0}},
    {.name = "install_unanswered", .faults = {install(FaultKind::NoReply)}, .failsAt = 5, .scaleAfterInstall = 0.02,
     .scaleAt = {4, 0, 0}},
    {"install_empty_reply", {install(FaultKind::EmptyReply)}, {}, 5},
    {"install_refused", {install(FaultKind::RefusedStatus)}, {}, 5},
    // Installed, the answer unusable or after its time-out: the restart that
    // follows and the system read back tell.
    {"install_bad_checksum", {install(FaultKind::BadChecksum, Occurrence::nth(1))}},
    {"install_late", {install(FaultKind::LateReply, Occurrence::nth(1), 4000ms)}},
    {"install_answered_late", {install(FaultKind::LateReply, Occurrence::every(), 1500ms)}},
    // Lost with the link: the link coming back is no install.
    {"install_disconnect", {install(FaultKind::Disconnect, Occurrence::nth(1))}, {}, 5},
    {"install_split", {install(FaultKind::SplitReply)}},
    {"install_duplicate", {install(FaultKind::DuplicateReply)}},
    // Judged by the system it shows on the same link.
    {"never_drops", {}, {}, 0, false},
    // A network session reconnects by itself, so a restart shorter than one
    // check may pass unseen; the system read back still tells.
    {"drops_and_returns_at_once", {}, {}, 0, true, 1ms},
    // Scaled so that the look for a system installed without a restart still
    // comes well after the link's drop.
    {.name = "never_returns", .faults = {install(FaultKind::NoComeback)}, .failsAt = 5, .scaleAfterInstall = 0.02,
     .waits = true},
    {"returns_late", {}, {}, 0, true, 20000ms},
    {.name = "returns_with_old_system", .failsAt = 5, .device = [](sim::DeviceConfig& d) { d.installTakes = false; }},
    {.name = "returns_as_another_device", .failsAt = 5,
     .device = [](sim::DeviceConfig& d) { d.serialAfterRestart = sim::sampleSerial(1, true); }},
    {.name = "wrong_device_on_configuration_port", .failsAt = 4, .expectedSerial = "744443100099"},
};

class SystemUpgradeFaults : public SystemUpgraderTest,
                            public ::testing::WithParamInterface<std::tuple<Link, Scenario>> {};

TEST_P(SystemUpgradeFaults, NoFalseSuccessWithinBound) {
  const auto& [link, s] = GetParam();
  const int failsAt = s.failsAt;
  sim::DeviceConfig config{.serialNumber = sim::sampleSerial(1, false),
                           .mode = link == Link::Pty ? sim::DeviceMode::BootLoader : sim::DeviceMode::Normal,
                           .installRestarts = s.installRestarts,
                           .restartDelay = s.restartDelay};
  if (s.device) s.device(config);
  start(config, {.systemImageSize = 3 * 8192 + 100});
  for (const auto& f : s.faults) device_->addFault(f);
  for (const auto& f : s.webFaults) web_->addFault(f);
  const Bytes image = web_->systemImage();
  const std::string local = userPackage(sim::buildSystemPackage("V3.10", "206", image));
  LogCapture log;

  const std::string serial = device_->core().config().serialNumber;
  const Scenario& scenario = s;  // a structured binding cannot be captured
  const Reports reports = runUpgrade(serial, local, [&](SystemUpgrader&, const Report& r) {
    if (r == scenario.scaleAt && scenario.scaleAfterInstall > 0) platform::setTimeScale(scenario.scaleAfterInstall);
  }, s.expectedSerial ? s.expectedSerial : serial);

  ASSERT_FALSE(reports.empty());
  const bool success = reports.back() == reportOf(SystemStage::kEnd, SystemResult::kDone);
  // "The box is upgrading" is said only once the device has taken the package.
  if (std::find(reports.begin(), reports.end(), reportOf(SystemStage::kInstall, SystemResult::kDone, 100)) != reports.end()) {
    EXPECT_TRUE(device_->core().systemPackage().installed) << ::testing::PrintToString(reports);
  }
  if (success) {
    EXPECT_TRUE(holdsInstalled(image)) << ::testing::PrintToString(reports);
    // Online or, after a failed query, local; the percentages only grow, up to 100.
    EXPECT_TRUE(steps(reports) == succeeded({{1, 0, 0}, {2, 0, 0}}) || steps(reports) == succeeded({{1, 3, 0}, {3, 0, 0}}))
        << ::testing::PrintToString(reports);
    int percent = 0;
    for (const Report& r : reports) {
      if (r[0] == 4 && r[1] == 0 && r[2] > 0) {
        EXPECT_GT(r[2], std::exchange(percent, r[2]));
      }
    }
    EXPECT_EQ(percent, 100);
  }
  if (failsAt != -1) {
    EXPECT_EQ(success, failsAt == 0) << ::testing::PrintToString(reports) << "\n" << log.dump();
  }
  if (failsAt > 0) {
    EXPECT_EQ(reports.back(), (Report{failsAt, SystemUpgrader::kRetry, 0}));
  }
  if (failsAt == 4) {
    EXPECT_EQ(device_->core().requestCount(kCmdSystemInstall), 0u);
  }
  if (s.expectedSerial) {
    EXPECT_TRUE(chunksSent().empty());
  }
  EXPECT_LE(device_->core().requestCount(kCmdSystemInstall), 1u);
  const auto wait = std::find_if(reports.begin(), reports.end(), isWait);
  if (s.waits) {
    ASSERT_NE(wait, reports.end()) << ::testing::PrintToString(reports);
    const auto told = decodeReturnWait((*wait)[2]);
    EXPECT_EQ(told.limitSeconds, platform::scaled(SystemTransfer::kReturnLimit).count() / 1000);
    EXPECT_LE(told.waitedSeconds, told.limitSeconds);
  }
  EXPECT_LT(elapsed_, 25s);
}

std::vector<std::tuple<Link, Scenario>> matrix() {
  std::vector<std::tuple<Link, Scenario>> out;
  for (Link link : {Link::Tcp, Link::Pty}) {
    for (const Scenario& s : kScenarios) {
      out.emplace_back(link, s);
    }
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Matrix, SystemUpgradeFaults, ::testing::ValuesIn(matrix()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) == Link::Tcp ? "Tcp_" : "Pty_") +
                                  std::get<1>(info.param).name;
                         });

}  // namespace
