#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "scanner/SimLinks.h"

namespace {

struct CliRun {
  int status = -1;
  std::string out;
  std::string err;
};

std::string cliPath() {
  if (const char* dir = std::getenv("KESTREL_BUILD_DIR")) return std::string(dir) + "/kestrel-cli";
  // tests/tests_cli sits one folder below the programs.
  return (std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "kestrel-cli").string();
}

// Runs the command-line program with the test's environment (the virtual
// device's endpoints and the loopback guard).
CliRun runCli(const std::string& arguments) {
  std::string errFile = platform::joinPath(platform::workRoot(), "cli-stderr.txt");
  std::string command = "KESTREL_TIME_SCALE=0.2 '" + cliPath() + "' " + arguments + " 2>'" + errFile + "'";
  CliRun run;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return run;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
  int raw = pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  std::ifstream err(errFile);
  std::stringstream text;
  text << err.rdbuf();
  run.err = text.str();
  return run;
}

class ScanCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::processLinks();
    ASSERT_TRUE(std::filesystem::exists(cliPath())) << "build kestrel-cli first: " << cliPath();
  }
};

TEST_F(ScanCommandTest, UsbScan_printsTheVirtualDeviceAsJson) {
  auto device = scantest::startDevice({.serialNumber = "744443100001"});
  ASSERT_TRUE(device);

  CliRun run = runCli("scan --link usb --json");

  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "[{\"name\":\"744443100001\",\"address\":\"\",\"port\":\"" + device->ttyPath() +
                         "\",\"link\":\"usb\"}]\n")
      << run.err;
}

TEST_F(ScanCommandTest, FailedScan_exitsNonZeroWithAnEmptyList) {
  // Under the loopback guard the radio may not be used: the inquiry fails.
  CliRun run = runCli("scan --link bt --json");

  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(run.out, "[]\n");
}

TEST_F(ScanCommandTest, UnknownLink_isAUsageError) {
  for (const char* arguments : {"scan", "scan --link serial", "scan --link"}) {
    CliRun run = runCli(arguments);
    EXPECT_EQ(run.status, 2) << arguments;
    EXPECT_NE(run.err.find("usage: kestrel-cli scan --link usb|lan|wifi|bt [--json]"), std::string::npos) << arguments;
  }
}

}  // namespace
