#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <sstream>
#include <string>

#include "SimPackages.h"
#include "WebServices.h"
#include "platform/Clock.h"
#include "app/DeviceClaim.h"
#include "platform/DeviceLock.h"
#include "support/CliRunner.h"
#include "support/SimLinks.h"

namespace {

using clitest::CliRun;
using namespace std::chrono_literals;

CliRun runUpgrade(const std::string& arguments) { return clitest::runCli("upgrade " + arguments, "0.05"); }

class UpgradeCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::processLinks();
    unsetenv("KESTREL_SERVICES");
    ASSERT_TRUE(std::filesystem::exists(clitest::cliProgram())) << "build kestrel-cli first";
    ASSERT_TRUE(web_.start());
    // The device restarts on the same clock as the program.
    platform::setTimeScale(0.05);
  }
  void TearDown() override { platform::setTimeScale(1.0); }

  // false when the device could not be started.
  bool startModel4(sim::DeviceConfig config = {}) {
    config.serialNumber = serial_;
    config.restartDelay = 300ms;
    device_.reset();
    device_ = scantest::startDevice(config);
    return device_ != nullptr;
  }
  void expectTheNewJ2534Image() {
    sim::StoredImage stored = device_->core().image(sim::ImageSlot::J2534);
    EXPECT_TRUE(stored.accepted);
    EXPECT_EQ(stored.md5, sim::md5Hex(web_.firmwareImage("3", serial_)));
  }

  // No boot entry, announcement or chunk reached the device.
  void expectUntouched(const char* name) {
    for (auto [cmd, sub] : {std::pair{0x24, 0x07}, {0x25, 0x05}, {0x24, 0x02}, {0x24, 0x03}}) {
      EXPECT_EQ(device_->core().requestCount(cmd, sub), 0u) << name << std::hex << ": " << cmd << " " << sub;
    }
  }

  sim::WebServices web_;
  std::unique_ptr<sim::VirtualDevice> device_;
  const std::string serial_ = sim::sampleSerial(4, true);
};

TEST_F(UpgradeCommandTest, Json_resultOnStdoutAndProgressEventsAsJsonLines) {
  ASSERT_TRUE(startModel4());

  CliRun run = runUpgrade("firmware --json");

  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "{\"serialNumber\":\"" + serial_ +
                         "\",\"model\":4,\"result\":\"upgraded\","
                         "\"firmware\":{\"from\":\"V1.10\",\"to\":\"V1.20\",\"result\":\"skipped\"},"
                         "\"j2534Firmware\":{\"from\":\"V2.10\",\"to\":\"V2.20\",\"result\":\"upgraded\"},"
                         "\"steps\":[{\"part\":\"j2534Firmware\",\"step\":\"prepare\"},"
                         "{\"part\":\"j2534Firmware\",\"step\":\"transfer\"},"
                         "{\"part\":\"j2534Firmware\",\"step\":\"done\"}]}\n");
  std::istringstream lines(run.err);
  std::string line;
  int steps = 0;
  double lastBytes = 0;
  double total = 0;
  while (std::getline(lines, line)) {
    cJSON* event = cJSON_Parse(line.c_str());
    ASSERT_NE(event, nullptr) << "not a JSON line: " << line;
    const cJSON* kind = cJSON_GetObjectItem(event, "event");
    ASSERT_TRUE(cJSON_IsString(kind)) << line;
    EXPECT_TRUE(cJSON_IsNumber(cJSON_GetObjectItem(event, "percent"))) << line;
    if (std::string(kind->valuestring) == "transfer") {
      // A missing count reads as NaN, which no comparison passes.
      const double bytes = cJSON_GetNumberValue(cJSON_GetObjectItem(event, "bytes"));
      EXPECT_GE(bytes, lastBytes) << line;
      lastBytes = bytes;
      total = cJSON_GetNumberValue(cJSON_GetObjectItem(event, "total"));
    } else {
      ++steps;
    }
    cJSON_Delete(event);
  }
  EXPECT_EQ(steps, 3);
  // The image's own chunks are counted up to its whole size.
  EXPECT_EQ(total, static_cast<double>(web_.firmwareImage("3", serial_).size()));
  EXPECT_EQ(lastBytes, total);
  expectTheNewJ2534Image();
}

TEST_F(UpgradeCommandTest, RefusedImage_showsTheStepsAndFailsNamingTheStep) {
  ASSERT_TRUE(startModel4());
  device_->addFault({.kind = sim::FaultKind::RefusedStatus, .command = 0x24, .subCommand = 0x04});

  CliRun run = runUpgrade("firmware");

  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  for (const std::string& line : {std::string(" 60% upgrade J2534: start prepare\n"),
                                  std::string(" 80% upgrade J2534: prepare Ok, start burn firmware\n"),
                                  std::string("  0% upgrade J2534: burn firmware failed, please retry\n"),
                                  "firmware upgrade of " + serial_ + " failed: upgrade J2534: burn firmware failed"}) {
    EXPECT_NE(run.err.find(line), std::string::npos) << line << "\n" << run.err;
  }
}

// Nothing to do by the version rule, or only asked what would be done: the
// device gets no frame of the upgrade, and the user learns why.
TEST_F(UpgradeCommandTest, NotOfferedOrDryRun_sendsNoUpgradeFrame) {
  struct Case {
    const char* name;
    const char* j2534Version;
    bool listUnreachable;
    const char* arguments;
    int status;
    const char* text;  // in stdout or stderr
  };
  const Case cases[] = {
      {"up to date", "V2.20", false, "firmware", 0, " is already up to date (J2534 firmware V2.20)\n"},
      {"dry run", "V2.10", false, "firmware --dry-run", 0, "would send J2534 firmware V2.10 -> V2.20, from http://127.0.0.1:"},
      {"newer than online", "V2.30", false, "firmware", 0, "not sent: J2534 firmware V2.30 is newer than online (V2.20)"},
      {"newest unknown", "V2.10", true, "firmware", 1,
       "not sent: the newest J2534 firmware is unknown: the software list at http://127.0.0.1:"},
      {"newest unknown, JSON", "V2.10", true, "firmware --json", 1, "\"result\":\"version-unknown\""},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(startModel4({.j2534Version = c.j2534Version})) << c.name;
    web_.clearFaults();
    if (c.listUnreachable) {
      for (const char* path : {"/api/api/publicSoftInfo/getPublicSoftListBySn",
                               "/cn/api/api/publicSoftInfo/getPublicSoftListBySn"}) {
        web_.addFault({.kind = sim::WebFaultKind::ServerError, .path = path});
      }
    }

    CliRun run = runUpgrade(c.arguments);

    EXPECT_EQ(run.status, c.status) << c.name << "\n" << run.err;
    EXPECT_NE((run.out + run.err).find(c.text), std::string::npos) << c.name << "\n" << run.out << run.err;
    if (c.listUnreachable && c.status != 0) {
      EXPECT_NE((run.out + run.err).find("500 Internal Server Error"), std::string::npos) << c.name << "\n" << run.err;
    }
    expectUntouched(c.name);
  }
}

// Claims are per device: another device's claim never holds an upgrade or a
// read up, while this device's refuses them: before their first frame when
// made where they reach it, else once the read tells its number.
TEST_F(UpgradeCommandTest, ClaimsOfThisDeviceOnly_refuseTheRun) {
  struct Case {
    const char* name;
    std::string key;
    std::string where;
    int status;
    bool read;  // a claim made elsewhere is known only by the number the read gives
  };
  ASSERT_TRUE(startModel4());
  const Case cases[] = {
      {"another device", "5RHM19999999", "tcp 127.0.0.2:1", 0, true},
      {"this device by its number", serial_, "tcp 127.0.0.2:1", 4, true},
      {"this device by its place", "5RHM19999999", defaultSessionPlace(), 4, false},
  };
  for (const Case& c : cases) {
    std::unique_ptr<platform::DeviceLock> other;
    std::string holder;
    ASSERT_EQ(platform::DeviceLock::tryAcquire(c.key, "system upgrade of " + c.key, other, holder, c.where),
              platform::DeviceLock::Result::Acquired);
    for (const char* command : {"upgrade firmware --dry-run", "info"}) {
      device_->core().clearRequestLog();

      CliRun run = clitest::runCli(command, "0.05");

      EXPECT_EQ(run.status, c.status) << c.name << ", " << command << "\n" << run.err;
      if (c.status == 4) {
        EXPECT_NE(run.err.find("busy: system upgrade of " + c.key + " by process "), std::string::npos) << run.err;
        EXPECT_EQ(device_->core().requestLog().empty(), !c.read) << c.name << ", " << command;
      }
    }
  }
}

// Two upgrades of one device: the second is refused before it sends a frame,
// and the first leaves the device holding the right image.
TEST_F(UpgradeCommandTest, SecondUpgrade_isRefusedAtOnceAndTheFirstCompletes) {
  ASSERT_TRUE(startModel4());

  // Slower than the second, so that it still runs when the second is started on a loaded machine.
  auto first = std::async(std::launch::async, [] { return clitest::runCli("upgrade firmware", "0.2"); });
  std::string holder;
  ASSERT_TRUE(scantest::waitUntil([&] { return platform::DeviceLock::isClaimed(serial_, "", holder); }, 20s));
  const auto started = std::chrono::steady_clock::now();
  CliRun second = runUpgrade("firmware");
  const auto took = std::chrono::steady_clock::now() - started;
  CliRun done = first.get();

  EXPECT_EQ(second.status, 4) << second.err;
  EXPECT_NE(second.err.find("busy: firmware upgrade of " + serial_ + " by process "), std::string::npos) << second.err;
  EXPECT_LT(took, 3s) << "refused at once, not after a device read";
  EXPECT_EQ(done.status, 0) << done.err;
  expectTheNewJ2534Image();
}

// A first Ctrl-C never cuts a transfer: the upgrade runs on to its end, the
// device holds the whole image, and the run, complete, says so and succeeds.
TEST_F(UpgradeCommandTest, FirstInterrupt_letsTheUpgradeEndAndSucceeds) {
  ASSERT_TRUE(startModel4());

  auto run = std::async(std::launch::async, [] { return runUpgrade("firmware"); });
  std::string holder;
  ASSERT_TRUE(scantest::waitUntil(
      [&] { return platform::DeviceLock::isClaimed(serial_, "", holder) && device_->core().requestCount(0x24, 0x07) > 0; },
      20s));
  const pid_t pid = static_cast<pid_t>(std::stol(holder.substr(holder.find("by process ") + 11)));
  ASSERT_EQ(kill(pid, SIGINT), 0);
  CliRun done = run.get();

  EXPECT_EQ(done.status, 0) << done.err;
  EXPECT_NE(done.err.find("interrupt: the upgrade runs on to its end"), std::string::npos) << done.err;
  EXPECT_EQ(done.out, serial_ + " upgraded (the interrupt came during the transfer, which ran on to its end)\n");
  expectTheNewJ2534Image();
}

}  // namespace
