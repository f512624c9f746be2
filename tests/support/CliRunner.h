#pragma once
#include <chrono>
#include <functional>
#include <string>

// Runs the built kestrel-cli as a child process with the test's environment
// (the virtual device's endpoints, the services file under TARNFIELD_HOME and
// the loopback guard).
namespace clitest {

struct CliRun {
  int status = -1;  // -1 when killed
  std::string out;
  std::string err;
  bool killed = false;   // by killAt
  bool overran = false;  // killed at the bound
  std::chrono::milliseconds took{0};
};

// Path of the kestrel-cli program beside the test programs.
std::string cliProgram();

// "kestrel-cli ARGUMENTS" at the given time scale; stdout and stderr apart,
// input on its stdin. Runs from several threads at once do not mix.
CliRun runCli(const std::string& arguments, const std::string& timeScale, const std::string& input = "");

// As runCli, watching stderr as it comes: the program is killed with SIGKILL
// when killAt says yes to a line (or to "", asked every few milliseconds, to
// kill on what the device saw), or when it runs past bound.
CliRun runCliWatched(const std::string& arguments, const std::string& timeScale, const std::string& input,
                     const std::function<bool(const std::string& line)>& killAt, std::chrono::milliseconds bound);

}  // namespace clitest
