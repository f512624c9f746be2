#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "SimPackages.h"
#include "WebServices.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "support/CliRunner.h"
#include "support/SimLinks.h"

namespace {

using clitest::CliRun;
using clitest::cliProgram;

CliRun runUpgrade(const std::string& arguments) { return clitest::runCli("upgrade " + arguments, "0.05"); }

class UpgradeCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::processLinks();
    unsetenv("KESTREL_SERVICES");
    ASSERT_TRUE(std::filesystem::exists(cliProgram())) << "build kestrel-cli first: " << cliProgram();
    ASSERT_TRUE(web_.start());
    // The device restarts on the same clock as the program.
    platform::setTimeScale(0.05);
  }
  void TearDown() override { platform::setTimeScale(1.0); }

  sim::WebServices web_;
};

TEST_F(UpgradeCommandTest, Model4_readsTheDeviceUpgradesJ2534AndReportsJson) {
  const std::string serial = sim::sampleSerial(4, true);
  auto device = scantest::startDevice({.serialNumber = serial, .restartDelay = std::chrono::milliseconds(300)});
  ASSERT_TRUE(device);

  CliRun run = runUpgrade("firmware --json");

  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err.find("Sanitizer"), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "{\"serialNumber\":\"" + serial +
                         "\",\"model\":4,\"result\":\"upgraded\",\"firmware\":\"skipped\","
                         "\"j2534Firmware\":\"upgraded\",\"steps\":[[1,0],[1,5],[1,7]]}\n");
  sim::StoredImage stored = device->core().image(sim::ImageSlot::J2534);
  EXPECT_TRUE(stored.accepted);
  EXPECT_EQ(stored.md5, sim::md5Hex(web_.firmwareImage("3", serial)));
}

TEST_F(UpgradeCommandTest, RefusedImage_drawsTheStepsAndFailsOnStderr) {
  const std::string serial = sim::sampleSerial(4, true);
  auto device = scantest::startDevice({.serialNumber = serial, .restartDelay = std::chrono::milliseconds(300)});
  ASSERT_TRUE(device);
  device->addFault({.kind = sim::FaultKind::RefusedStatus, .command = 0x24, .subCommand = 0x04});

  CliRun run = runUpgrade("firmware");

  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.find("Sanitizer"), std::string::npos) << run.err;
  EXPECT_NE(run.out.find(" 60% upgrade J2534: start prepare\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(" 80% upgrade J2534: prepare Ok, start burn firmware\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("  0% upgrade J2534: burn firmware failed, please retry\n"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("upgraded"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("firmware upgrade of " + serial + " failed: upgrade J2534: burn firmware failed"),
            std::string::npos)
      << run.err;
}

}  // namespace
