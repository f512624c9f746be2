#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/CliRunner.h"
#include "support/SimLinks.h"
#include "support/TestEnv.h"
#include "UpgradeCheck.h"

// --all runs every device found at once; one device that keeps failing must
// fail alone, be named in the summary and make the exit status say so.
namespace {

using namespace std::chrono_literals;

struct Fleet {
  sim::WebServices web;
  std::vector<std::unique_ptr<sim::VirtualDevice>> devices;
};

// One device on USB and two on the LAN, on loopback addresses of their own;
// the third never answers an image chunk.
bool startFleet(Fleet& fleet) {
  if (!fleet.web.start()) return false;
  for (int i = 0; i < 3; ++i) {
    sim::LinkConfig links = scantest::linkConfig();
    links.listenAddress = "127.0.0." + std::to_string(i + 2);
    links.pty = i == 0;
    links.tcp = links.discovery = i != 0;
    if (i != 0) links.usbListFile.clear();  // a list of its own, or it would write the USB device out
    auto device = scantest::startDevice({.serialNumber = "5RHM1000000" + std::to_string(i + 2), .restartDelay = 300ms}, links);
    if (!device) return false;
    if (i == 2) {
      device->addFault(sim::faultOn(kCmdImageChunk, {.kind = sim::FaultKind::NoReply, .when = sim::Occurrence::every()}));
    }
    fleet.devices.push_back(std::move(device));
  }
  return true;
}

std::map<std::string, std::string> statusBySerial(const std::string& summaryJson) {
  std::map<std::string, std::string> out;
  cJSON* json = cJSON_Parse(summaryJson.c_str());
  cJSON* device = nullptr;
  cJSON_ArrayForEach(device, cJSON_GetObjectItem(json, "devices")) {
    out[cJSON_GetStringValue(cJSON_GetObjectItem(device, "serialNumber"))] =
        cJSON_GetStringValue(cJSON_GetObjectItem(device, "status"));
  }
  cJSON_Delete(json);
  return out;
}

TEST(FleetTest, OneFailingDevice_failsAloneAndTheSummaryNamesIt) {
  scantest::processLinks();
  Fleet fleet;
  ASSERT_TRUE(startFleet(fleet));
  testsupport::ScopedEnv env;
  env.set("KESTREL_SERVICES", fleet.web.servicesFile().c_str());

  clitest::CliRun run = clitest::runCli("upgrade firmware --all --json", "0.05");
  EXPECT_EQ(run.status, 1) << run.err;
  const std::map<std::string, std::string> expected = {
      {"5RHM10000002", "ok"}, {"5RHM10000003", "ok"}, {"5RHM10000004", "failed"}};
  EXPECT_EQ(statusBySerial(run.out), expected) << run.out;
  for (const auto& [serial, status] : expected) {
    EXPECT_NE(run.err.find("{\"serialNumber\":\"" + serial + "\""), std::string::npos) << "no progress of " << serial;
  }
  for (int i = 0; i < 3; ++i) {
    const std::string wrong = clitest::wrongOnDevice(clitest::Job::Firmware, *fleet.devices[i], fleet.web);
    EXPECT_EQ(wrong.empty(), i < 2) << i << ": " << wrong;
  }

  // Again, as a person reads it: the two upgraded ones are current and left
  // alone, the faulty one fails again and its reason is on its summary line.
  for (auto& device : fleet.devices) device->core().clearRequestLog();
  run = clitest::runCli("upgrade firmware --all", "0.05");
  EXPECT_EQ(run.status, 1);
  std::istringstream lines(run.out);
  int rows = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("5RHM", 0) != 0) continue;
    ++rows;
    const bool faulty = line.rfind("5RHM10000004", 0) == 0;
    EXPECT_NE(line.find(faulty ? "failed" : "up-to-date"), std::string::npos) << line;
    if (faulty) {
      EXPECT_GT(line.size(), 60u) << "no reason given: " << line;
    }
  }
  EXPECT_EQ(rows, 3) << run.out;
  EXPECT_EQ(fleet.devices[0]->core().requestCount(kCmdImageChunk), 0u);
  EXPECT_EQ(fleet.devices[1]->core().requestCount(kCmdImageChunk), 0u);
}

TEST(FleetTest, AllWithAChosenDeviceOrNoDevice) {
  scantest::processLinks();
  EXPECT_EQ(clitest::runCli("upgrade firmware --all --link lan", "0.05").status, 2);
  EXPECT_EQ(clitest::runCli("info --all --device 5RHM10000002", "0.05").status, 2);
  EXPECT_EQ(clitest::runCli("info --all", "0.05").status, 3);
}

}  // namespace
