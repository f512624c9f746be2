#include "support/CliRunner.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Paths.h"

namespace clitest {

std::string cliProgram() {
  if (const char* dir = std::getenv("KESTREL_BUILD_DIR")) return std::string(dir) + "/kestrel-cli";
  // tests/tests_cli sits one folder below the programs.
  return (std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "kestrel-cli").string();
}

namespace {

std::string uniqueFile(const char* stem) {
  std::string pattern = platform::joinPath(platform::workRoot(), std::string(stem) + "-XXXXXX");
  int fd = mkstemp(pattern.data());
  if (fd >= 0) close(fd);
  return pattern;
}

}  // namespace

CliRun runCli(const std::string& arguments, const std::string& timeScale, const std::string& input) {
  std::filesystem::create_directories(platform::workRoot());
  const std::string errFile = uniqueFile("cli-stderr");
  const std::string inFile = uniqueFile("cli-stdin");
  std::ofstream(inFile) << input;
  std::string command = "KESTREL_TIME_SCALE=" + timeScale + " '" + cliProgram() + "' " + arguments + " <'" +
                        inFile + "' 2>'" + errFile + "'";
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
  std::filesystem::remove(errFile);
  std::filesystem::remove(inFile);
  return run;
}

}  // namespace clitest
