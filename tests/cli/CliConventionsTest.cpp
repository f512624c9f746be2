#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>

#include "support/CliRunner.h"

namespace {

struct Case {
  const char* arguments;
  int status;
  const char* out;  // expected in stdout ("" = stdout must be empty)
  const char* err;  // expected in stderr ("" = stderr must be empty)
};

// The program prints what its command line asks for on the stream it belongs
// to (the choices themselves are CommandLineTest's); a command's own usage
// errors are told with status 2 before any device is touched.
const Case kCases[] = {
    {"--help", 0, "usage: kestrel-cli COMMAND", ""},
    {"frame 21 05 0102", 0, "55aaf0f8000501210501022b\n", ""},
    {"info --bogus", 2, "", "unknown option --bogus for 'info'"},
    {"info --device 5RHM10000001", 2, "", "--device needs --link"},
    {"upgrade", 2, "", "usage: kestrel-cli upgrade firmware|system"},
    {"upgrade firmware --package x.zip", 2, "", "--package is for 'upgrade system' only"},
    {"upgrade system --package /nonexistent.zip", 2, "", "--package: '/nonexistent.zip' is not a readable file"},
    {"frame 21 5", 2, "", "bad SUB '5'"},
    {"frame 21 05 0g", 2, "", "bad DATA-HEX '0g'"},
    {"frame 21 05 010", 2, "", "bad DATA-HEX '010'"},
    {"wifi", 2, "", "--ssid: the network name (SSID) is empty"},
    // The key is never taken from the command line.
    {"wifi --ssid Shop --key secret", 2, "", "unknown option --key for 'wifi'"},
};

TEST(CliConventionsTest, HelpAndUsageErrors_useTheirStreamsAndExitStatus) {
  ASSERT_TRUE(std::filesystem::exists(clitest::cliProgram())) << "build kestrel-cli first";
  for (const Case& c : kCases) {
    clitest::CliRun run = clitest::runCli(c.arguments, "0.2");
    EXPECT_EQ(run.status, c.status) << c.arguments << "\n" << run.err;
    for (auto [stream, wanted, name] : {std::tuple{run.out, c.out, "stdout"}, {run.err, c.err, "stderr"}}) {
      if (*wanted == '\0') {
        EXPECT_EQ(stream, "") << c.arguments << ": " << name;
      } else {
        EXPECT_NE(stream.find(wanted), std::string::npos) << c.arguments << ": " << name << " was\n" << stream;
      }
    }
  }
}

// A time scale that cannot be used is told once, and the run goes on at full length.
TEST(CliConventionsTest, InvalidTimeScale_isToldOnce) {
  for (const char* scale : {"fast", "2", "0", "0.5x"}) {
    clitest::CliRun run = clitest::runCli("frame 21 05 0102", scale);
    EXPECT_EQ(run.status, 0) << scale;
    const std::string told = std::string("KESTREL_TIME_SCALE='") + scale + "' ignored";
    const size_t at = run.err.find(told);
    EXPECT_NE(at, std::string::npos) << scale << ": " << run.err;
    EXPECT_EQ(run.err.find(told, at + 1), std::string::npos) << scale << ": told twice";
  }
}

}  // namespace
