#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/CliRunner.h"
#include "support/SimLinks.h"

namespace {

using clitest::CliRun;
CliRun runCli(const std::string& arguments) { return clitest::runCli(arguments, "0.2"); }

class ScanCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::processLinks();
    ASSERT_TRUE(std::filesystem::exists(clitest::cliProgram())) << "build kestrel-cli first";
  }
};

TEST_F(ScanCommandTest, UsbScan_printsTheVirtualDeviceAsJson) {
  auto device = scantest::startDevice({.serialNumber = "744443100001"});
  ASSERT_TRUE(device);

  CliRun run = runCli("scan --link usb --json");

  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "[{\"name\":\"744443100001\",\"address\":\"\",\"port\":\"" + device->ttyPath() +
                         "\",\"link\":\"usb\"}]\n");
}

// The scanners' own diagnostic lines reach stderr only when asked for, and
// never stdout, which carries the result.
TEST_F(ScanCommandTest, ScannerLines_onStderrOnlyWithVerbose) {
  for (bool verbose : {false, true}) {
    CliRun run = runCli(std::string("scan --link lan --json") + (verbose ? " -v" : ""));

    EXPECT_EQ(run.out.find("dest addr"), std::string::npos) << run.out;
    EXPECT_EQ(run.err.find("dest addr : 127.255.255.255") != std::string::npos, verbose) << run.err;
  }
}

TEST_F(ScanCommandTest, FailedScan_exitsNonZeroWithAnEmptyList) {
  // Under the loopback guard the radio may not be used: the inquiry fails.
  CliRun run = runCli("scan --link bt --json");

  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(run.out, "[]\n");
  EXPECT_NE(run.err.find("KESTREL_LOOPBACK_ONLY=1 is set: Bluetooth is refused"), std::string::npos) << run.err;
}

}  // namespace
