#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "WebServices.h"
#include "platform/UsbDevices.h"
#include "support/CliRunner.h"
#include "support/SimLinks.h"

namespace {

using CliResult = clitest::CliRun;
using clitest::cliProgram;

CliResult runInfo(const std::string& arguments) { return clitest::runCli("info " + arguments, "0.2"); }

class InfoCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::processLinks();
    unsetenv("KESTREL_SERVICES");
    ASSERT_TRUE(std::filesystem::exists(cliProgram())) << "build kestrel-cli first: " << cliProgram();
  }
};

TEST_F(InfoCommandTest, Json_printsTheRecordWithWhatCanBeUpgraded) {
  auto device = scantest::startDevice({.firmwareVersion = "V1.20"});
  ASSERT_TRUE(device);
  sim::WebServices web;
  ASSERT_TRUE(web.start());

  CliResult run = runInfo("--json");

  EXPECT_EQ(run.status, 0) << run.err;
  const std::string serial = "5RHM10000001";
  EXPECT_EQ(run.out, "{\"serialNumber\":\"5RHM10000001\",\"model\":0,"
                     "\"firmware\":{\"current\":\"V1.20\",\"latest\":\"V1.20\",\"downloadLink\":\"" +
                         web.firmwarePackageUrl("1", serial) + "\",\"upgrade\":false},"
                         "\"j2534Firmware\":{\"current\":\"V2.10\",\"latest\":\"V2.20\",\"downloadLink\":\"" +
                         web.firmwarePackageUrl("3", serial) + "\",\"upgrade\":true},"
                         "\"system\":{\"current\":\"V3.10\",\"latest\":\"206\",\"downloadLink\":\"" +
                         web.systemPackageUrl() + "\",\"upgrade\":true,\"build\":\"205\"},"
                         "\"platform\":{\"name\":\"P1\",\"version\":\"2.0\"}}\n");
}

TEST_F(InfoCommandTest, OnlineFailure_printsTheDeviceAndTheErrorOnStderr) {
  auto device = scantest::startDevice({.serialNumber = "5RHM30000001", .hasSystem = false});
  ASSERT_TRUE(device);
  sim::WebServices web({.serials = {"5RHM39999999"}});
  ASSERT_TRUE(web.start());

  CliResult run = runInfo("");

  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("serial number: 5RHM30000001\nmodel: 3\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("firmware: V1.10, newest -\n"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("upgrade available"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("ERR_READ_DEV_OL_VER: request last firemware info error"), std::string::npos) << run.err;
}

TEST_F(InfoCommandTest, NoDevice_exitsNonZeroWithNothingOnStdout) {
  ASSERT_TRUE(platform::writeSimUsbList(scantest::processLinks().usbFile, {{0x1A86, 0x55DA, "", "silent device"}}));

  CliResult run = runInfo("--json");

  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.out.empty()) << run.out;
  EXPECT_NE(run.err.find("no device connected"), std::string::npos) << run.err;
}

}  // namespace
