#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "VirtualDevice.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "session/SessionApi.h"
#include "support/LogCapture.h"
#include "support/SimLinks.h"
#include "utils/CLogUtils.h"
#include "utils/HexText.h"
#include "wifi/ConfigWifiTask.h"

namespace {

using Result = std::pair<uint32_t, int32_t>;
using sim::DeviceMode;
using sim::FaultKind;

class Recorder : public ConfigWifiTaskNotifier {
 public:
  void onConfigWifiResult(uint32_t step, int32_t code) override { results.emplace_back(step, code); }
  std::vector<Result> results;
};

std::vector<Result> configure(int model, const std::string& ssid, const std::string& key) {
  Recorder recorder;
  ConfigWifiTask task(static_cast<DeviceModel>(model));
  task.setNotifier(&recorder);
  task.setParam("ssid", ssid);
  task.setParam("password", key);
  task.run();
  EXPECT_TRUE(task.getParam("password").empty());
  closeAllSessions();
  return recorder.results;
}

class ConfigWifiTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::processLinks();
    platform::setTimeScale(0.2);
  }
  void TearDown() override { platform::setTimeScale(1.0); }
};

TEST_F(ConfigWifiTaskTest, Runs_reportTheirStepAndSendOnlyWhatTheyMust) {
  struct Case {
    const char* name;
    int model;  // -1: no device at all
    DeviceMode mode;
    std::string ssid, key;
    sim::Fault fault;  // command 0: none
    Result result;
    std::vector<uint16_t> requests;  // command << 8 | sub-command, in order
  };
  auto fault = [](FaultKind kind, DeviceCommand request, uint8_t status = 1) {
    return sim::faultOn(request, {.kind = kind, .status = status});
  };
  const std::string key = "secret-key";
  const Case cases[] = {
      {"model 1: no mode switch", 1, DeviceMode::Normal, "Lab", key, {}, {3, 0}, {kCmdSetWifi.key()}},
      {"model 4 switches", 4, DeviceMode::Normal, "Lab", key, {}, {3, 0}, {kCmdReadMode.key(), kCmdSwitchToJ2534.key(), kCmdSetWifi.key()}},
      {"model 5 already in J2534", 5, DeviceMode::J2534, "Lab", key, {}, {3, 0}, {kCmdReadMode.key(), kCmdSetWifi.key()}},
      {"configuration answered late: the device tries the network first", 1, DeviceMode::Normal, "Lab", key,
       sim::faultOn(kCmdSetWifi, {.kind = FaultKind::LateReply, .delay = std::chrono::seconds(15)}), {3, 0},
       {kCmdSetWifi.key()}},
      {"refused configuration", 1, DeviceMode::Normal, "Lab", key, fault(FaultKind::RefusedStatus, kCmdSetWifi, 5),
       {2, -1}, {kCmdSetWifi.key()}},
      {"configuration answered without data", 1, DeviceMode::Normal, "Lab", key,
       fault(FaultKind::EmptyReply, kCmdSetWifi), {2, -1}, {kCmdSetWifi.key()}},
      {"mode read answered without data", 4, DeviceMode::Normal, "Lab", key, fault(FaultKind::EmptyReply, kCmdReadMode),
       {1, -1}, {kCmdReadMode.key()}},
      {"mode switch refused", 4, DeviceMode::Normal, "Lab", key, fault(FaultKind::RefusedStatus, kCmdSwitchToJ2534),
       {1, -1}, {kCmdReadMode.key(), kCmdSwitchToJ2534.key()}},
      {"32-byte SSID and 64-byte key are sent", 1, DeviceMode::Normal, std::string(32, 's'), std::string(64, 'k'), {},
       {3, 0}, {kCmdSetWifi.key()}},
      {"empty SSID", 1, DeviceMode::Normal, "", key, {}, {2, -1}, {}},
      {"empty key", 4, DeviceMode::Normal, "Lab", "", {}, {2, -1}, {}},
      {"33-byte SSID", 1, DeviceMode::Normal, std::string(33, 's'), key, {}, {2, -1}, {}},
      {"65-byte key", 1, DeviceMode::Normal, "Lab", std::string(65, 'k'), {}, {2, -1}, {}},
      {"line break in the SSID", 1, DeviceMode::Normal, "Lab\nX", key, {}, {2, -1}, {}},
      {"delete character in the key", 1, DeviceMode::Normal, "Lab", "secret\x7F", {}, {2, -1}, {}},
      {"no device", -1, DeviceMode::Normal, "Lab", key, {}, {0, -1}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<sim::VirtualDevice> device;
    if (c.model >= 0) {
      device = scantest::startDevice({.serialNumber = sim::sampleSerial(c.model, true), .mode = c.mode});
      ASSERT_TRUE(device);
      if (c.fault.command != 0) device->addFault(c.fault);
    }
    LogCapture log;

    EXPECT_EQ(configure(std::max(c.model, 1), c.ssid, c.key), std::vector<Result>{c.result});

    if (!device) continue;
    std::vector<uint16_t> requests;
    for (const auto& r : device->core().requestLog()) requests.push_back(static_cast<uint16_t>(r.command << 8 | r.subCommand));
    EXPECT_EQ(requests, c.requests);
    EXPECT_EQ(!c.key.empty() && device->core().config().wifiKey == c.key, c.result == Result(3, 0));
    EXPECT_EQ(log.contains("set wifi confige failed, errCode : 5"), c.fault.status == 5);
  }
}

// Digits only, lower case: hex in any spacing, case or escape becomes one run.
std::string hexDigitsOnly(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) out.push_back(static_cast<char>(std::tolower(c)));
  }
  return out;
}

TEST_F(ConfigWifiTaskTest, KeyReachesNoLog) {
  const std::string canary = "Canary-Key-4f19e2";
  const std::string canaryHex = toHexString(reinterpret_cast<const uint8_t*>(canary.data()), canary.size());
  CLogUtils::instance().Install();
  auto device = scantest::startDevice({.serialNumber = sim::sampleSerial(1, true)});
  ASSERT_TRUE(device);
  LogCapture log;

  ASSERT_EQ(configure(1, "Lab", canary), std::vector<Result>{Result(3, 0)});
  ASSERT_EQ(device->core().config().wifiKey, canary);

  std::vector<std::string> texts;
  for (const auto& line : log.lines()) texts.push_back(line.message);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(platform::logDir())) {
    std::ifstream in(entry.path(), std::ios::binary);
    texts.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  EXPECT_GT(texts.size(), log.lines().size());  // the log file is there
  for (const std::string& text : texts) {
    EXPECT_EQ(text.find(canary), std::string::npos) << text;
    EXPECT_EQ(hexDigitsOnly(text).find(canaryHex), std::string::npos) << text;
  }
}

}  // namespace
