#include "support/CliRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

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
  // Past any test's own time-out: the test fails first and names itself.
  return runCliWatched(arguments, timeScale, input, {}, std::chrono::hours(1));
}

CliRun runCliWatched(const std::string& arguments, const std::string& timeScale, const std::string& input,
                     const std::function<bool(const std::string& line)>& killAt, std::chrono::milliseconds bound) {
  std::filesystem::create_directories(platform::workRoot());
  const std::string inFile = uniqueFile("cli-stdin");
  std::ofstream(inFile) << input;
  // exec: the pid is the program's own, so the kill reaches it and not a shell.
  const std::string command =
      "exec env KESTREL_TIME_SCALE=" + timeScale + " '" + cliProgram() + "' " + arguments + " <'" + inFile + "'";
  CliRun run;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return run;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return run;
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  std::string pending;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = pid > 0 ? 2 : 0;
  while (open > 0) {
    const auto left = bound - std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - start);
    if (left.count() <= 0 && !run.killed && !run.overran) {
      run.overran = true;
      kill(pid, SIGKILL);
    }
    // Short ticks: a chunk takes a few milliseconds.
    if (poll(fds, 2, 2) < 0 && errno != EINTR) break;
    if (!run.killed && !run.overran && killAt && killAt("")) {
      run.killed = true;
      kill(pid, SIGKILL);
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        fds[i].fd = -1;
        --open;
        continue;
      }
      (i == 0 ? run.out : run.err).append(buffer, static_cast<size_t>(n));
      if (i == 0) continue;
      pending.append(buffer, static_cast<size_t>(n));
      for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
        if (!run.killed && !run.overran && killAt && killAt(pending.substr(0, end))) {
          run.killed = true;
          kill(pid, SIGKILL);
        }
      }
    }
  }
  close(out[0]);
  close(err[0]);
  int raw = 0;
  if (pid > 0) waitpid(pid, &raw, 0);
  run.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  run.status = pid > 0 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  std::filesystem::remove(inFile);
  return run;
}

}  // namespace clitest
