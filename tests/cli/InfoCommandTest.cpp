#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "WebServices.h"
#include "platform/UsbDevices.h"
#include "support/CliRunner.h"
#include "support/SimLinks.h"
#include "utils/Settings.h"

namespace {

using clitest::CliRun;

CliRun runCli(const std::string& arguments) { return clitest::runCli(arguments, "0.2"); }

class InfoCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::processLinks();
    unsetenv("KESTREL_SERVICES");
    std::filesystem::remove(settingsFilePath());
    ASSERT_TRUE(std::filesystem::exists(clitest::cliProgram())) << "build kestrel-cli first";
  }
  void TearDown() override { std::filesystem::remove(settingsFilePath()); }
};

TEST_F(InfoCommandTest, Json_printsTheRecordWithWhatCanBeUpgraded) {
  auto device = scantest::startDevice({.firmwareVersion = "V1.20"});
  ASSERT_TRUE(device);
  sim::WebServices web;
  ASSERT_TRUE(web.start());

  CliRun run = runCli("info --json");

  EXPECT_EQ(run.status, 0) << run.err;
  const std::string serial = "5RHM10000001";
  EXPECT_EQ(run.out, "{\"serialNumber\":\"5RHM10000001\",\"model\":0,"
                     "\"firmware\":{\"current\":\"V1.20\",\"latest\":\"V1.20\",\"downloadLink\":\"" +
                         web.firmwarePackageUrl("1", serial) + "\",\"upgrade\":false},"
                         "\"j2534Firmware\":{\"current\":\"V2.10\",\"latest\":\"V2.20\",\"downloadLink\":\"" +
                         web.firmwarePackageUrl("3", serial) + "\",\"upgrade\":true},"
                         "\"system\":{\"current\":\"V3.10\",\"latest\":\"206\",\"downloadLink\":\"" +
                         web.systemPackageUrl() + "\",\"upgrade\":true,\"build\":\"205\"},"
                         "\"platform\":{\"name\":\"P1\",\"version\":\"2.0\"},\"errors\":[]}\n");
}

// A failed read or query is never a success, and what it would have given is
// unknown, never "upgrade available".
TEST_F(InfoCommandTest, FailedReadOrQuery_exitsNonZeroWithUnknownValues) {
  struct Case {
    const char* name;
    sim::DeviceConfig device;
    std::set<std::string> webSerials;
    sim::Fault fault;
    const char* arguments;
    const char* out;
    const char* err;
  };
  const Case cases[] = {
      {"online query refused", {.serialNumber = "5RHM30000001", .hasSystem = false}, {"5RHM39999999"}, {},
       "info", "firmware: V1.10, newest unknown (the software list at http://127.0.0.1:",
       "ERR_READ_DEV_OL_VER: request last firemware info error"},
      {"version read unanswered", {}, {}, {.kind = sim::FaultKind::NoReply, .command = 0x21, .subCommand = 0x05},
       "info --json", "\"firmware\":{\"current\":null,", "ERR_READ_DEV_VER: "},
  };
  for (const Case& c : cases) {
    auto device = scantest::startDevice(c.device);
    ASSERT_TRUE(device) << c.name;
    if (c.fault.command != 0) device->addFault(c.fault);
    sim::WebServices web({.serials = c.webSerials});
    ASSERT_TRUE(web.start()) << c.name;

    CliRun run = runCli(c.arguments);

    EXPECT_EQ(run.status, 1) << c.name << "\n" << run.err;
    EXPECT_NE(run.out.find(c.out), std::string::npos) << c.name << "\n" << run.out;
    EXPECT_EQ(run.out.find("upgrade available"), std::string::npos) << c.name << "\n" << run.out;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << c.name << "\n" << run.err;
    if (std::string(c.arguments).find("--json") != std::string::npos) {
      EXPECT_NE(run.out.find("\"upgrade\":false"), std::string::npos) << run.out;
      EXPECT_NE(run.out.find("\"errors\":[\"ERR_READ_DEV_VER: "), std::string::npos) << run.out;
    }
  }
}

// Nothing runs after info, so it ends with the read's last phase. Stretched
// time makes the task's closing pause 3 s, far beyond a read on a busy machine.
TEST_F(InfoCommandTest, StretchedTime_endsWithoutTheTasksClosingPause) {
  auto device = scantest::startDevice();
  ASSERT_TRUE(device);
  sim::WebServices web;
  ASSERT_TRUE(web.start());

  const auto start = std::chrono::steady_clock::now();
  CliRun run = clitest::runCli("info", "3");
  const auto took = std::chrono::steady_clock::now() - start;

  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_LT(took, std::chrono::milliseconds(2500));
}

TEST_F(InfoCommandTest, NoDevice_saysWhatWasTriedAndExits3) {
  ASSERT_TRUE(platform::writeSimUsbList(scantest::processLinks().usbFile, {{0x1A86, 0x55DA, "", "silent device"}}));

  CliRun run = runCli("info --json");

  EXPECT_EQ(run.status, 3);
  EXPECT_TRUE(run.out.empty()) << run.out;
  EXPECT_NE(run.err.find("no device connected: tried the attached USB device"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("kestrel-cli scan --link"), std::string::npos) << run.err;
}

// A device found on the LAN, with no USB device attached: chosen once with
// use, it is what info reads from then on, through the window's own keys.
TEST_F(InfoCommandTest, UseOverLan_thenInfoReadsThatDevice) {
  auto device = scantest::startDevice({.serialNumber = "5RHM10000042"});
  ASSERT_TRUE(device);
  ASSERT_TRUE(platform::writeSimUsbList(scantest::processLinks().usbFile, {}));
  sim::WebServices web;
  ASSERT_TRUE(web.start());

  CliRun once = runCli("info --link lan --device 127.0.0.1");
  EXPECT_EQ(once.status, 0) << once.err;
  EXPECT_NE(once.out.find("serial number: 5RHM10000042\n"), std::string::npos) << once.out;
  SettingsRecord untouched;
  loadSettings(untouched);
  EXPECT_EQ(untouched.Name, "") << "a choice for one run is not saved";

  CliRun use = runCli("use --link lan 5RHM10000042");
  ASSERT_EQ(use.status, 0) << use.err;
  EXPECT_EQ(use.out, "using lan 5RHM10000042 127.0.0.1 from now on\n");
  SettingsRecord saved;
  loadSettings(saved);
  EXPECT_EQ(saved.TransferType, 1u);
  EXPECT_EQ(saved.Name, "5RHM10000042");
  EXPECT_EQ(saved.Addr, 0x0100007Fu);  // 127.0.0.1 in the stored form

  CliRun info = runCli("info");
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("serial number: 5RHM10000042\n"), std::string::npos) << info.out;

  CliRun missing = runCli("use --link lan 5RHM19999999");
  EXPECT_EQ(missing.status, 3);
  EXPECT_NE(missing.err.find("no device '5RHM19999999' on the lan link; found:\n  lan  5RHM10000042"), std::string::npos)
      << missing.err;
}

}  // namespace
