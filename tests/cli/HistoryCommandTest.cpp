#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "SimFaults.h"
#include "WebServices.h"
#include "app/RunHistory.h"
#include "platform/Clock.h"
#include "platform/DeviceLock.h"
#include "support/CliRunner.h"
#include "support/SimLinks.h"
#include "support/TestEnv.h"

// The history as the console records and lists it: a row per run for each
// kind of ending, read back through `kestrel-cli history` itself.
namespace {

using clitest::CliRun;
using namespace std::chrono_literals;

constexpr const char* kScale = "0.1";

struct Row {
  std::string what, result, step = {}, message = {}, before = {}, after = {}, serial = {};
};

// The newest runs, from the command's JSON.
std::vector<Row> history(const std::string& arguments = "") {
  const CliRun run = clitest::runCli("history --json" + arguments, kScale);
  EXPECT_EQ(run.status, 0) << run.err;
  std::vector<Row> rows;
  cJSON* json = cJSON_Parse(run.out.c_str());
  EXPECT_TRUE(json) << run.out;
  const cJSON* item = nullptr;
  cJSON_ArrayForEach(item, cJSON_GetObjectItem(json, "runs")) {
    auto text = [&](const char* name) {
      const char* value = cJSON_GetStringValue(cJSON_GetObjectItem(item, name));
      return std::string(value ? value : "");
    };
    rows.push_back({text("what"), text("result"), text("step"), text("message"), text("before"), text("after"),
                    text("serialNumber")});
  }
  cJSON_Delete(json);
  return rows;
}

class HistoryCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::processLinks();
    unsetenv("KESTREL_SERVICES");
    ASSERT_TRUE(std::filesystem::exists(clitest::cliProgram())) << "build kestrel-cli first";
    platform::setTimeScale(0.1);
  }
  void TearDown() override { platform::setTimeScale(1.0); }
};

// A sample of the endings the upgrade and Wi-Fi tests drive, each found as
// the newest row with what the run knew.
TEST_F(HistoryCommandTest, EachEnding_isTheNewestRowAsTheRunLeftIt) {
  struct Case {
    const char* name;
    std::string command;
    sim::DeviceConfig device;
    const char* fault;  // a device fault, as kestrel-sim takes it
    bool claimed;       // another program holds the device
    Row expected;       // "" fields are not checked
  };
  const Case cases[] = {
      {"firmware sent", "upgrade firmware", {}, nullptr, false,
       {"firmware", "succeeded", "", "", "V1.10, J2534 V2.10", "V1.20, J2534 V2.20"}},
      {"firmware current", "upgrade firmware", {.firmwareVersion = "V1.20", .j2534Version = "V2.20"}, nullptr, false,
       {"firmware", "up-to-date", "", "", "V1.20, J2534 V2.20", "V1.20, J2534 V2.20"}},
      {"chunk refused", "upgrade firmware", {}, "refused:2404:1", false,
       {"firmware", "failed", "firmware/", "", "V1.10, J2534 V2.10", "V1.10, J2534 V2.10"}},
      {"claimed elsewhere", "upgrade firmware", {}, nullptr, true, {"firmware", "refused", "", "busy: system upgrade of"}},
      {"system sent", "upgrade system", {}, nullptr, false, {"system", "succeeded", "", "", "", "206"}},
      {"system not taken", "upgrade system", {.installTakes = false}, nullptr, false, {"system", "failed", "install"}},
      {"wifi joined", "wifi --ssid Workshop", {}, nullptr, false, {"wifi", "succeeded", "", "", "", "Workshop"}},
  };
  size_t rows = 0;
  for (const Case& c : cases) {
    sim::DeviceConfig config = c.device;
    config.restartDelay = 300ms;
    auto device = scantest::startDevice(config);
    ASSERT_TRUE(device) << c.name;
    if (c.fault) {
      sim::Fault fault;
      ASSERT_TRUE(sim::parseFault(c.fault, fault)) << c.name;
      device->addFault(fault);
    }
    sim::WebServices web;
    ASSERT_TRUE(web.start()) << c.name;
    std::unique_ptr<platform::DeviceLock> other;
    std::string holder;
    const std::string serial = config.serialNumber;
    if (c.claimed) {
      ASSERT_EQ(platform::DeviceLock::tryAcquire(serial, "system upgrade of " + serial, other, holder),
                platform::DeviceLock::Result::Acquired);
    }

    const CliRun run = clitest::runCli(c.command, kScale, "secret-key\n");

    const std::vector<Row> found = history();
    ASSERT_EQ(found.size(), ++rows) << c.name << "\n" << run.err;
    const Row& row = found.front();
    // Refused before its read, the device is known by where it is reached only.
    EXPECT_EQ(row.serial, c.claimed ? "" : serial) << c.name;
    EXPECT_EQ(row.what, c.expected.what) << c.name;
    EXPECT_EQ(row.result, c.expected.result) << c.name << "\n" << run.err;
    for (const auto& [got, want] : {std::pair{row.step, c.expected.step}, {row.message, c.expected.message},
                                    {row.before, c.expected.before}, {row.after, c.expected.after}}) {
      if (!want.empty()) {
        EXPECT_EQ(got.rfind(want, 0), 0u) << c.name << ": '" << got << "' for '" << want << "'";
      }
    }
    EXPECT_EQ(row.message.find("secret-key"), std::string::npos) << c.name;
  }
}

// SIGKILL halfway through the transfer leaves the row running; once its
// process is gone every reader sees it interrupted.
TEST_F(HistoryCommandTest, KilledRun_showsAsInterrupted) {
  auto device = scantest::startDevice({.restartDelay = 300ms});
  ASSERT_TRUE(device);
  sim::WebServices web;
  ASSERT_TRUE(web.start());

  const CliRun run = clitest::runCliWatched(
      "upgrade firmware --json", kScale, "",
      [](const std::string& line) { return line.find("\"event\":\"transfer\"") != std::string::npos; }, 60s);

  ASSERT_TRUE(run.killed) << run.err;
  const std::vector<Row> found = history();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].result, "interrupted");
}

// Garbage where the database should be: said once with its path, kept aside,
// and the upgrade runs and is recorded in a new one.
TEST_F(HistoryCommandTest, CorruptDatabase_isSetAsideAndTheUpgradeRuns) {
  auto device = scantest::startDevice({.restartDelay = 300ms});
  ASSERT_TRUE(device);
  sim::WebServices web;
  ASSERT_TRUE(web.start());
  const std::string path = RunHistory::defaultPath();
  testsupport::writeText(path, std::string(8192, '\x5a'));

  const CliRun run = clitest::runCli("upgrade firmware", kScale);

  EXPECT_EQ(run.status, 0) << run.err;
  const std::string warning = "warning: the database " + path + " is not a usable database; it was set aside as ";
  ASSERT_NE(run.err.find(warning), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find(warning), run.err.rfind(warning)) << "said once";
  const std::vector<Row> found = history();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].result, "succeeded");
}

// The table, CSV and the filters over rows written straight to the store.
TEST_F(HistoryCommandTest, TableCsvAndFilters) {
  testsupport::ScopedEnv env;
  env.set("TZ", "UTC");
  RunHistory store;
  const struct {
    const char* serial;
    int64_t startedMs;
    RunResult result;
    const char* message;
  } seeded[] = {
      {"5RHM10000001", 1764000000000, RunResult::Succeeded, ""},
      {"5RHM10000002", 1765000000000, RunResult::Failed, "refused, \"twice\"\nthen gave up"},
      {"5RHM10000001", 1766000000000, RunResult::UpToDate, ""},
  };
  for (const auto& s : seeded) {
    RunRow row;
    row.serialNumber = s.serial;
    row.what = runwhat::kFirmware;
    row.startedMs = s.startedMs;
    ASSERT_TRUE(store.begin(row));
    row.result = s.result;
    row.message = s.message;
    row.step = s.result == RunResult::Failed ? "j2534Firmware/transfer" : "";
    ASSERT_TRUE(store.finish(row));
  }
  struct Case {
    std::string arguments;
    int status;
    std::vector<std::string> lines;  // a text each line of stdout holds
  };
  const Case cases[] = {
      {"", 0, {"STARTED           DEVICE        MODEL  LINK  WHAT      BEFORE  AFTER  RESULT", "2025-12-17 19:33",
               "2025-12-06 05:46", "2025-11-24 16:00"}},
      {"--device 5RHM10000002", 0, {"STARTED ", "2025-12-06 05:46"}},
      {"--since 2025-12-01", 0, {"STARTED ", "2025-12-17 ", "2025-12-06 "}},
      {"--since 2025-12-06T09:00:00 --csv", 0,
       {"started,ended,serialNumber,model,link,address,what,before,after,result,step,message,program,programVersion,user",
        "2025-12-17T19:33:20+00:00,"}},
      {"--device 5RHM10000002 --csv", 0,
       {"started,", ",failed,j2534Firmware/transfer,\"refused, \"\"twice\"\"", "then gave up\",,,"}},
      {"--since 2025-02-30", 2, {}},
      {"--since yesterday", 2, {}},
      {"--json --csv", 2, {}},
  };
  for (const Case& c : cases) {
    const CliRun run = clitest::runCli("history " + c.arguments, kScale);
    EXPECT_EQ(run.status, c.status) << c.arguments << "\n" << run.err;
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = run.out.find('\n', at)) != std::string::npos; at = end + 1) {
      lines.push_back(run.out.substr(at, end - at));
    }
    ASSERT_EQ(lines.size(), c.lines.size()) << c.arguments << "\n" << run.out;
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_NE(lines[i].find(c.lines[i]), std::string::npos) << c.arguments << "\n" << run.out;
    }
  }
}

}  // namespace
