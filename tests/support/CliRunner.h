#pragma once
#include <string>

// Runs the built kestrel-cli as a child process with the test's environment
// (the virtual device's endpoints, the services file under TARNFIELD_HOME and
// the loopback guard).
namespace clitest {

struct CliRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Path of the kestrel-cli program beside the test programs.
std::string cliProgram();

// "kestrel-cli ARGUMENTS" at the given time scale; stdout and stderr apart,
// input on its stdin. Runs from several threads at once do not mix.
CliRun runCli(const std::string& arguments, const std::string& timeScale, const std::string& input = "");

}  // namespace clitest
