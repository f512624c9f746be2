#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "SimFaults.h"
#include "SimPackages.h"
#include "WebServices.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "support/CliRunner.h"
#include "support/SimLinks.h"
#include "support/TestEnv.h"
#include "utils/HexText.h"

namespace {

using clitest::CliRun;
using namespace std::chrono_literals;

// Replies are awaited for 2 to 3 s unscaled: at 0.2 a loaded machine still answers in time.
constexpr const char* kScale = "0.2";

class SystemWifiCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::processLinks();
    unsetenv("KESTREL_SERVICES");
    ASSERT_TRUE(std::filesystem::exists(clitest::cliProgram())) << "build kestrel-cli first";
    platform::setTimeScale(0.2);
  }
  void TearDown() override { platform::setTimeScale(1.0); }
};

// Only a run that ends with the device holding and running the package is a
// success; with nothing online and nothing given, or a file that is no system
// package, nothing is sent, and each failure says why.
TEST_F(SystemWifiCommandTest, SystemUpgrade_onlineLocalOrNoPackage) {
  const std::vector<uint8_t> localImage = sim::buildSystemImage("207", 20000);
  const std::vector<uint8_t> zip = sim::buildSystemPackage("V3.20", "207", localImage);
  const std::string localPackage = platform::joinPath(platform::workRoot(), "local.zip");
  testsupport::writeText(localPackage, std::string(zip.begin(), zip.end()));
  const std::string notZip = platform::joinPath(platform::workRoot(), "notzip.zip");
  testsupport::writeText(notZip, "PK but not really");
  const std::vector<uint8_t> noImage = sim::buildZip({{"V3.20_207/system.ini", {'[', 'I', 'n', 'f', 'o', ']', '\n'}}});
  const std::string noImagePackage = platform::joinPath(platform::workRoot(), "noimage.zip");
  testsupport::writeText(noImagePackage, std::string(noImage.begin(), noImage.end()));
  struct Case {
    const char* name;
    bool online;
    std::string arguments;
    int status;
    const char* out;
    const char* err;
    const char* fault = nullptr;
    bool installTakes = true;
    bool sends = false;  // a failed run may have sent chunks
    std::string systemVersion = "205";
    const char* webFault = nullptr;  // on both version service paths
  };
  const Case cases[] = {
      {"online", true, "", 0, ": system upgraded\n", "[##############################] 100% upgrade success"},
      {"local", false, " --package " + localPackage, 0, ": system upgraded\n", "transferring 20 KiB of "},
      {"none", false, "", 1, "", "no system package is offered online for this device and none was given"},
      {"not a zip", false, " --package " + notZip, 2, "", "is not a system package: not a zip archive"},
      {"dry run, not a zip", false, " --dry-run --package " + notZip, 2, "", "not a zip archive; nothing was sent"},
      {"no system.ini Version", false, " --package " + noImagePackage, 2, "", "system.ini has no usable [Info] Version"},
      {"refused by the device", false, " --package " + localPackage, 1, "", "the device refused the package at byte 8192",
       "refused:2C05:2"},
      {"comes back with its old system", false, " --package " + localPackage, 1, "",
       "came back after the install with system 205, not the package's 207", nullptr, false, true},
      // What online offers is judged by the version rule: nothing older, nothing unknown.
      {"newer than online", true, "", 0, "newer than online", "", nullptr, true, false, "300"},
      {"newest unknown", true, "", 1, "", "the newest system version is unknown: ", nullptr, true, false, "205",
       "500:/Veyra/Device/publicSoftService"},
  };
  for (const Case& c : cases) {
    auto device = scantest::startDevice(
        {.systemVersion = c.systemVersion, .installTakes = c.installTakes, .restartDelay = 300ms});
    ASSERT_TRUE(device) << c.name;
    if (c.fault) {
      sim::Fault fault;
      ASSERT_TRUE(sim::parseFault(c.fault, fault)) << c.name;
      device->addFault(fault);
    }
    sim::WebServices web({.systemPackageOnline = c.online});
    for (const char* prefix : {"", "/cn"}) {
      sim::WebFault fault;
      if (c.webFault && sim::parseWebFault(c.webFault, fault)) web.addFault({fault.kind, prefix + fault.path});
    }
    ASSERT_TRUE(web.start()) << c.name;

    CliRun run = clitest::runCli("upgrade system" + c.arguments, kScale);

    EXPECT_EQ(run.status, c.status) << c.name << "\n" << run.err;
    EXPECT_NE(run.out.find(c.out), std::string::npos) << c.name << "\n" << run.out;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << c.name << "\n" << run.err;
    const sim::StoredPackage stored = device->core().systemPackage();
    if (c.status == 0 && c.systemVersion != "205") {
      EXPECT_EQ(device->core().requestCount(0x2C, 0x05), 0u) << c.name;
    } else if (c.status == 0) {
      EXPECT_TRUE(stored.installed) << c.name;
      EXPECT_EQ(stored.md5, sim::md5Hex(c.online ? web.systemImage() : localImage)) << c.name;
      EXPECT_EQ(device->core().config().systemVersion, c.online ? "206" : "207") << c.name;
    } else if (!c.sends) {
      EXPECT_EQ(device->core().requestCount(0x2C, 0x05), c.fault ? 2u : 0u) << c.name;
    }
  }
}

// The key comes from a file or stdin, reaches the device, and no log holds it.
TEST_F(SystemWifiCommandTest, Wifi_keyFromFileOrStdin_neverInTheLog) {
  const std::string key = "canary-K3y-7f1d";
  const std::string keyFile = platform::joinPath(platform::workRoot(), "wifi.key");
  testsupport::writeText(keyFile, key + "\nsecond line ignored\n");
  struct Case {
    const char* name;
    std::string arguments;
    std::string input;
  };
  const Case cases[] = {
      {"key file", "wifi --ssid Workshop --key-file " + keyFile, ""},
      {"stdin", "wifi --ssid Workshop --json", key + "\n"},
  };
  for (const Case& c : cases) {
    auto device = scantest::startDevice({});
    ASSERT_TRUE(device) << c.name;

    CliRun run = clitest::runCli(c.arguments, kScale, c.input);

    EXPECT_EQ(run.status, 0) << c.name << "\n" << run.err;
    EXPECT_EQ(device->core().config().wifiSsid, "Workshop") << c.name;
    EXPECT_EQ(device->core().config().wifiKey, key) << c.name;
    EXPECT_EQ((run.out + run.err).find(key), std::string::npos) << c.name;
  }
  const std::string hexKey = toHexString(reinterpret_cast<const uint8_t*>(key.data()), key.size());
  std::string all;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(platform::logDir())) {
    const std::string text = testsupport::readText(entry.path());
    EXPECT_EQ(text.find(key), std::string::npos) << entry.path();
    EXPECT_EQ(text.find(hexKey), std::string::npos) << entry.path();
    all += text;
  }
  // Each run is found in the log by its first and last lines.
  EXPECT_NE(all.find("kestrel-cli 1.0.0 (pid "), std::string::npos);
  EXPECT_NE(all.find("): kestrel-cli wifi --ssid Workshop --key-file "), std::string::npos);
  EXPECT_NE(all.find("kestrel-cli exit status 0"), std::string::npos);
}

// What no Wi-Fi network can have is refused before the device is touched,
// with the limit named.
TEST_F(SystemWifiCommandTest, Wifi_refusesWhatNoNetworkCanHave_beforeAnyFrame) {
  auto device = scantest::startDevice({});
  ASSERT_TRUE(device);
  struct Case {
    std::string arguments, input, says;
  };
  const Case cases[] = {
      {"wifi --ssid " + std::string(33, 's'), "secret-key\n", "--ssid: the network name (SSID) has 33 bytes; a Wi-Fi "
                                                               "network name has at most 32"},
      {"wifi --ssid Workshop", std::string(65, 'k') + "\n", "the key has 65 bytes; a Wi-Fi key has at most 64"},
      {"wifi --ssid Workshop", "sec\x01ret\n", "the key holds a control character"},
      {"wifi --ssid Workshop", "", "no key on standard input"},
      {"wifi --ssid Workshop --key-file /nonexistent/wifi.key", "", "cannot open '/nonexistent/wifi.key': No such file"},
  };
  for (const Case& c : cases) {
    CliRun run = clitest::runCli(c.arguments, kScale, c.input);
    EXPECT_EQ(run.status, 2) << c.arguments << "\n" << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
  }
  EXPECT_TRUE(device->core().requestLog().empty());
}

}  // namespace
