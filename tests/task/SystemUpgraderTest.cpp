#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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
#include "support/SimLinks.h"
#include "support/UpgradeHarness.h"
#include "task/SystemUpgrader.h"
#include "utils/ZipUtils.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Report = std::array<int, 3>;  // stage, sub-state, value
using Reports = std::vector<Report>;
using Bytes = std::vector<uint8_t>;

constexpr size_t kMatrixImage = 3 * 8192 + 100;  // four chunks
const Reports kSuccessTail = {{5, 0, 100}, {5, 0, 0}, {6, 0, 0}};

std::string goodIni(const std::string& version = "207") { return "[Info]\r\nVersion=" + version + "\r\n"; }

// A system.zip of exactly size bytes; the device takes any bytes.
Bytes exactImage(size_t size) {
  Bytes out(size);
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(i * 131 + i / 8192);
  return out;
}

Bytes packageBytes(const std::string& ini, const Bytes& image, bool withIni = true) {
  std::vector<upgradetest::ZipItem> items;
  if (withIni) items.push_back({"V3.10_207/system.ini", ini});
  items.push_back({"V3.10_207/system.zip", std::string(image.begin(), image.end())});
  return upgradetest::makeZip(platform::joinPath(platform::workRoot(), "scratch.zip"), items);
}

// The window: records UM_SYSTEM_PROGRESS and answers the package choice
// (1, 3, 0) with `answer`; onReport may act on any report from its thread.
class SystemWindow {
 public:
  SystemWindow(std::shared_ptr<SystemUpgrader> task, std::string answer,
               std::function<void(const Report&)> onReport = nullptr) {
    target_ = std::make_shared<QueuedMessageTarget>([=, this](const AppMessage& m) {
      if (m.id != UM_SYSTEM_PROGRESS) return;
      Report r{static_cast<int>(m.wParam >> 8), static_cast<int>(m.wParam & 0xFF), static_cast<int>(m.lParam)};
      {
        std::lock_guard<std::mutex> guard(lock_);
        reports_.push_back(r);
      }
      if (onReport) onReport(r);
      if (r == Report{1, 3, 0} && !answer.empty()) task->setParam("pkgPath", answer);
    });
    AppState::getInstance().setTarget(target_);
  }
  ~SystemWindow() {
    AppState::getInstance().setTarget(nullptr);
    target_->shutdown();
  }
  Reports reports() {
    std::lock_guard<std::mutex> guard(lock_);
    return reports_;
  }

 private:
  std::shared_ptr<QueuedMessageTarget> target_;
  std::mutex lock_;  // guards reports_
  Reports reports_;
};

// The reports without the transfer's percentages, which are checked apart.
Reports steps(const Reports& all) {
  Reports out;
  for (const Report& r : all) {
    if (!(r[0] == 4 && r[1] == 0 && r[2] > 0)) out.push_back(r);
  }
  return out;
}

std::string describe(const Reports& reports) {
  std::string out;
  for (const Report& r : reports) out += "(" + std::to_string(r[0]) + "," + std::to_string(r[1]) + "," + std::to_string(r[2]) + ")";
  return out;
}

struct Chunk {
  uint8_t flag;
  uint8_t flowId;
  size_t length;
};

std::vector<Chunk> chunksSent(const sim::VirtualDevice& device) {
  std::vector<Chunk> out;
  for (const auto& r : device.core().requestLog()) {
    if (r.command == 0x2C && r.subCommand == 0x05 && r.data.size() >= 5) {
      out.push_back({r.data[1], r.data[2], static_cast<size_t>(r.data[3] << 8 | r.data[4])});
    }
  }
  return out;
}

class SystemUpgraderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::processLinks();
    unsetenv("KESTREL_SERVICES");
    platform::setTimeScale(0.05);
  }
  void TearDown() override {
    closeAllSessions();
    device_.reset();
    web_.reset();
    platform::setTimeScale(1.0);
    ziputils::removeTree(platform::updateDir());
  }

  sim::VirtualDevice& start(sim::DeviceConfig config, sim::WebConfig web = {}) {
    device_.reset();
    web_.reset();
    if (config.restartDelay == sim::DeviceConfig{}.restartDelay) config.restartDelay = 300ms;
    web_ = std::make_unique<sim::WebServices>(web);
    EXPECT_TRUE(web_->start());
    device_ = scantest::startDevice(config);
    EXPECT_TRUE(device_);
    return *device_;
  }

  // A package in a user's folder that also holds a "Temp" of the user's own.
  std::string userPackage(const Bytes& bytes) {
    const std::string folder = platform::joinPath(platform::workRoot(), "Downloads");
    upgradetest::writeFile(platform::joinPath(folder, "Temp/keep.txt"), {'k'});
    const std::string path = platform::joinPath(folder, "system-pkg.zip");
    upgradetest::writeFile(path, bytes);
    return path;
  }

  Reports runUpgrade(const std::string& serial, const std::string& answer,
                     std::function<void(const Report&)> onReport = nullptr) {
    auto task = std::make_shared<SystemUpgrader>();
    SystemWindow window(task, answer, onReport);
    task->setParam("sn", serial);
    task->run();
    EXPECT_TRUE(task->getParam("sn").empty());
    return window.reports();
  }

  bool holdsInstalled(const Bytes& image) {
    sim::StoredPackage stored = device_->core().systemPackage();
    return stored.installed && stored.md5 == sim::md5Hex(image);
  }

  std::unique_ptr<sim::WebServices> web_;
  std::unique_ptr<sim::VirtualDevice> device_;
};

TEST_F(SystemUpgraderTest, OnlinePackage_isSentInFlaggedChunksInstalledAndReported) {
  start({.serialNumber = sim::sampleSerial(1, false)});
  const Reports reports = runUpgrade(device_->core().config().serialNumber, "nofile");

  const Bytes image = web_->systemImage();
  ASSERT_GT(image.size(), 2 * 8192u);
  ASSERT_LE(image.size(), 3 * 8192u);
  const int first = static_cast<int>(8192 * 100 / image.size());
  const int second = static_cast<int>(2 * 8192 * 100 / image.size());
  EXPECT_EQ(reports, (Reports{{1, 0, 0}, {2, 0, 0}, {4, 0, first}, {4, 0, second}, {4, 0, 100}, {4, 0, 0},
                              {5, 0, 100}, {5, 0, 0}, {6, 0, 0}})) << describe(reports);
  EXPECT_TRUE(holdsInstalled(image));
  const auto chunks = chunksSent(*device_);
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ((std::array<uint8_t, 3>{chunks[0].flag, chunks[1].flag, chunks[2].flag}),
            (std::array<uint8_t, 3>{0x55, 0x55, 0xF5}));
  EXPECT_EQ((std::array<uint8_t, 3>{chunks[0].flowId, chunks[1].flowId, chunks[2].flowId}),
            (std::array<uint8_t, 3>{0, 1, 2}));
  EXPECT_EQ(chunks[2].length, image.size() - 2 * 8192);
  // Only the downloaded package stays; the work folder is gone.
  EXPECT_EQ(upgradetest::treeOf(platform::updateDir()), std::vector<std::string>{"SYSTEM_PACKAGE.zip"});
}

// Local packages chosen by the user: what goes out, what is reported, and
// that neither the user's folder nor a work folder is left changed.
TEST_F(SystemUpgraderTest, LocalPackages_endAsTheirContentsDecide) {
  struct Case {
    const char* name;
    std::string ini;
    size_t imageSize;
    bool withIni;
    Reports steps;  // after (1,3,0),(3,0,0)
  };
  const Reports ok = {{4, 0, 0}, {5, 0, 100}, {5, 0, 0}, {6, 0, 0}};
  const Reports failed = {{4, 2, 0}};
  const Case cases[] = {
      {"exact multiple of the chunk size", goodIni(), 2 * 8192, true, ok},
      {"257 chunks: flow ids wrap to 1", goodIni(), 256 * 8192 + 1, true, ok},
      {"no system.ini", goodIni(), 100, false, failed},
      {"empty Version", goodIni(""), 100, true, failed},
      {"Version above 128 bytes", goodIni(std::string(129, '7')), 100, true, failed},
      {"control character in a version", goodIni() + "Corbelb_Version=1\x01\r\n", 100, true, failed},
      {"empty system.zip", goodIni(), 0, true, failed},
  };
  // The device digests a 2 MiB upload before it answers the install, in real time.
  platform::setTimeScale(0.2);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    start({.serialNumber = sim::sampleSerial(1, false)}, {.systemPackageOnline = false});
    const Bytes image = exactImage(c.imageSize);
    const std::string package = userPackage(packageBytes(c.ini, image, c.withIni));
    const auto userBefore = upgradetest::treeOf(fs::path(package).parent_path());

    Reports expected = {{1, 3, 0}, {3, 0, 0}};
    expected.insert(expected.end(), c.steps.begin(), c.steps.end());
    EXPECT_EQ(steps(runUpgrade(device_->core().config().serialNumber, package)), expected);

    const auto chunks = chunksSent(*device_);
    if (c.steps == ok) {
      EXPECT_TRUE(holdsInstalled(image));
      ASSERT_EQ(chunks.size(), (c.imageSize + 8191) / 8192);
      for (size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_EQ(chunks[i].flag, i + 1 == chunks.size() ? 0xF5 : 0x55) << i;
        EXPECT_EQ(chunks[i].flowId, i == 0 ? 0 : (i - 1) % 255 + 1) << i;
      }
    } else {
      EXPECT_TRUE(chunks.empty());
      EXPECT_EQ(device_->core().requestCount(0x2C, 0x07), 0u);
    }
    EXPECT_EQ(upgradetest::treeOf(fs::path(package).parent_path()), userBefore);
    EXPECT_TRUE(upgradetest::treeOf(platform::updateDir()).empty());
    closeAllSessions();
  }
}

// The package choice, and stops in the middle of a run: every one ends
// without a success report and without an install request.
TEST_F(SystemUpgraderTest, ChoiceAndStops_endTheRunAsAFailure) {
  struct Case {
    const char* name;
    bool online;
    bool withSerial;
    const char* answer;
    std::function<void(SystemUpgrader&, const Report&)> act;
    Reports steps;
  };
  auto stopAt = [](Report when) {
    return [when](SystemUpgrader& task, const Report& r) {
      if (r == when) task.stop();
    };
  };
  const Case cases[] = {
      {"no package online, user has none", false, true, "nofile", nullptr, {{1, 3, 0}, {3, 1, 0}, {6, 1, 0}}},
      {"no serial number: nothing asked online", true, false, "nofile", nullptr, {{1, 3, 0}, {3, 1, 0}, {6, 1, 0}}},
      {"the user never chooses", false, true, "", [](SystemUpgrader&, const Report& r) {
         if (r == Report{1, 3, 0}) platform::setTimeScale(0.0005);
       }, {{1, 3, 0}, {3, 1, 0}, {6, 1, 0}}},
      {"stop during the choice", false, true, "", stopAt({1, 3, 0}), {{1, 3, 0}, {3, 2, 0}}},
      {"stop during the transfer", true, true, "", stopAt({4, 0, 10}), {{1, 0, 0}, {2, 0, 0}, {4, 2, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::setTimeScale(0.05);
    start({.serialNumber = sim::sampleSerial(1, false)},
          {.systemPackageOnline = c.online, .systemImageSize = 100 * 8192});
    auto task = std::make_shared<SystemUpgrader>();
    SystemWindow window(task, c.answer, [&](const Report& r) { if (c.act) c.act(*task, r); });
    task->setParam("sn", c.withSerial ? device_->core().config().serialNumber : "");
    const auto begin = std::chrono::steady_clock::now();
    task->run();

    EXPECT_EQ(steps(window.reports()), c.steps) << describe(window.reports());
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 10s);
    EXPECT_EQ(device_->core().requestCount(0x2C, 0x07), 0u);
    if (!c.withSerial) {
      EXPECT_EQ(web_->hits("/Veyra/v3/soft-wares"), 0u);
    }
    closeAllSessions();
  }
}

// Acknowledgements that do not acknowledge the chunk end the transfer
// after it, without an install.
TEST_F(SystemUpgraderTest, WrongAcknowledgement_endsTheTransferWithoutInstall) {
  struct Case {
    const char* name;
    int serialShift;
    Bytes data;  // flow id 0 is the right one
  };
  const Case cases[] = {
      {"wrong flow id", 0, {1, 0}}, {"wrong serial", 1, {0, 0}}, {"status 1", 0, {0, 1}},
      {"one data byte", 0, {0}},    {"no data", 0, {}},
  };
  const std::string package = userPackage(packageBytes(goodIni(), sim::buildSystemImage("207", 20000)));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto link = std::make_shared<sessiontest::FakeLink>();
    link->onWrite = [&](const Bytes& request) {
      if (request.size() < Frame::kMinSize) return;
      link->push(sessiontest::frameBytes(static_cast<uint8_t>(request[6] + c.serialShift),
                                         static_cast<uint8_t>(request[7] + 0x40), request[8], c.data));
    };
    setConnectionFactoryForTest([link](const SessionEndpoint&) { return std::make_unique<sessiontest::FakeConnection>(link); });
    auto task = std::make_shared<SystemUpgrader>();
    SystemWindow window(task, "");
    task->setParam("pkgPath", package);
    task->run();
    setConnectionFactoryForTest({});

    EXPECT_EQ(window.reports(), (Reports{{1, 3, 0}, {3, 0, 0}, {4, 2, 0}})) << describe(window.reports());
    size_t chunks = 0, installs = 0;
    for (const Bytes& w : link->written()) {
      chunks += w.size() > 8 && w[7] == 0x2C && w[8] == 0x05;
      installs += w.size() > 8 && w[7] == 0x2C && w[8] == 0x07;
    }
    EXPECT_EQ(chunks, 1u);
    EXPECT_EQ(installs, 0u);
    closeAllSessions();
  }
}

}  // namespace
