#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "Cli.h"
#include "DeviceRead.h"
#include "app/DeviceModel.h"
#include "app/RecordedRun.h"
#include "schedule/ScheduleManager.h"
#include "session/SessionApi.h"
#include "viewmodel/WifiStepView.h"
#include "wifi/ConfigWifiTask.h"

namespace {

// The device waits up to 20 s for its answer to the configuration, after a
// connection and a mode switch: this only catches a hung task.
constexpr int kWifiTimeoutSeconds = 120;
// A key line longer than this is refused anyway; the rest is not read.
constexpr size_t kMaxLine = 1024;

// Overwrites a secret before its memory is given back.
void wipe(std::string& secret) {
  explicit_bzero(secret.data(), secret.size());
  secret.clear();
}

// One line from fd, read a byte at a time into a buffer that is wiped, so no
// stream buffer is left holding the key (nor what follows it).
bool readSecretLine(int fd, std::string& line) {
  char buffer[kMaxLine];
  size_t n = 0;
  bool any = false;
  for (char c; n < sizeof buffer;) {
    const ssize_t got = ::read(fd, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    any = true;
    if (c == '\n') break;
    buffer[n++] = c;
  }
  while (n > 0 && buffer[n - 1] == '\r') --n;
  line.assign(buffer, n);
  explicit_bzero(buffer, sizeof buffer);
  return any;
}

// The first line of the key file, or of stdin (asked for without echo on a
// terminal). Never from the command line: other users can read a process's
// arguments.
bool readKey(const cli::Args& args, const std::string& ssid, std::string& key) {
  if (args.flag("key-file")) {
    const std::string path = args.option("key-file");
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      std::fprintf(stderr, "--key-file: cannot open '%s': %s\n", cli::shown(path).c_str(), std::strerror(errno));
      return false;
    }
    const bool got = readSecretLine(fd, key);
    ::close(fd);
    if (!got) std::fprintf(stderr, "--key-file: '%s' holds no line\n", cli::shown(path).c_str());
    return got;
  }
  termios saved{};
  const bool terminal = isatty(STDIN_FILENO) == 1 && tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    std::fprintf(stderr, "Wi-Fi key for %s: ", cli::shown(ssid).c_str());
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  const bool got = readSecretLine(STDIN_FILENO, key);
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputc('\n', stderr);
  }
  if (!got) std::fprintf(stderr, "no key on standard input (give it there or with --key-file FILE)\n");
  return got;
}

class WifiResult : public ConfigWifiTaskNotifier {
 public:
  explicit WifiResult(cli::Console*& console) : console_(console) {}
  void onConfigWifiResult(uint32_t step, int32_t code) override {
    step_ = step;
    code_ = code;
    if (console_) console_->finished();
  }
  uint32_t step() const { return step_; }
  int32_t code() const { return code_; }

 private:
  cli::Console*& console_;
  std::atomic<uint32_t> step_{~0u};
  std::atomic<int32_t> code_{-1};
};

int runWifi(const cli::Args& args) {
  const std::string ssid = args.option("ssid");
  if (const std::string problem = ConfigWifiTask::ssidProblem(ssid); !problem.empty()) {
    std::fprintf(stderr, "--ssid: %s\n", problem.c_str());
    return cli::kExitUsage;
  }
  std::string key;
  if (!readKey(args, ssid, key)) return cli::kExitUsage;
  if (const std::string problem = ConfigWifiTask::keyProblem(key); !problem.empty()) {
    wipe(key);
    std::fprintf(stderr, "%s\n", problem.c_str());
    return cli::kExitUsage;
  }

  cli::Claim claim;
  if (int rc = cli::readAndClaim(args, "Wi-Fi configuration", false, claim); rc != cli::kExitOk) {
    wipe(key);
    return cli::recordRefusal(claim, runwhat::kWifi, rc);
  }
  RecordedRun record(claim.read.info.serialNumber, runwhat::kWifi, "", claim.place);
  const std::string serial = cli::shown(claim.read.info.serialNumber);
  cli::Console* console = nullptr;
  WifiResult result(console);
  bool finished = false;
  {
    auto task = std::make_shared<ConfigWifiTask>(classifyModel(claim.read.info.serialNumber));
    task->setNotifier(&result);
    cli::Console owner([&](const AppMessage& message) { cli::printShowText(message, args); });
    console = &owner;
    ScheduleManager& scheduler = ScheduleManager::getInstance();
    scheduler.addTask(kWorkerDevInfo, kTaskConfigWifi, task);
    scheduler.setTaskParam(kTaskConfigWifi, "ssid", ssid);
    scheduler.setTaskParam(kTaskConfigWifi, "password", key);
    wipe(key);
    finished = owner.runTask(kTaskConfigWifi, kWifiTimeoutSeconds);
    cli::waitForIdleWorker();
    // The task keeps its parameters between runs; the key must not outlive this one.
    task->wipeParam("password");
    console = nullptr;
    task->setNotifier(nullptr);
  }
  closeAllSessions();
  const bool ok = finished && result.step() == Finish && result.code() == 0;
  if (ok) {
    record.finish(RunResult::Succeeded, ssid);
  } else {
    record.finish(RunResult::Failed, "", finished ? wifiStepName(result.step()) : "",
                  finished ? wifiStepError(result.step()) : "did not finish in time");
  }
  if (args.json) {
    std::printf("{\"serialNumber\":%s,\"ssid\":%s,\"result\":%s,\"step\":%s,\"code\":%d}\n",
                cli::jsonString(claim.read.info.serialNumber).c_str(), cli::jsonString(ssid).c_str(),
                ok ? "\"configured\"" : "\"failed\"", cli::jsonString(wifiStepName(result.step())).c_str(),
                static_cast<int>(result.code()));
  } else if (ok) {
    std::printf("Wifi Connect Success: %s joins %s\n", serial.c_str(), cli::shown(ssid).c_str());
  }
  if (!finished) {
    std::fprintf(stderr, "the Wi-Fi configuration of %s did not finish in time\n", serial.c_str());
  } else if (!ok) {
    std::fprintf(stderr, "%s (code %d); %s\n", wifiStepError(result.step()).c_str(), static_cast<int>(result.code()),
                 cli::logFileHint().c_str());
  }
  return ok ? cli::kExitOk : cli::kExitFailed;
}

std::vector<cli::OptionSpec> wifiOptions() {
  std::vector<cli::OptionSpec> options = {
      {"ssid", "SSID", "the network the device joins (1 to 32 bytes)"},
      {"key-file", "FILE", "read the key from the first line of FILE (else from stdin)"},
  };
  for (const cli::OptionSpec& o : cli::deviceOptions()) options.push_back(o);
  options.push_back({"json", nullptr, "print the outcome as JSON"});
  return options;
}

const cli::CommandRegistration registration(
    {"wifi", "--ssid SSID [--key-file FILE] [--link ... [--device ...]] [--json]",
     "set the Wi-Fi network the device joins", wifiOptions(), runWifi,
     "The key is read from --key-file or from the first line of standard input\n"
     "(without echo on a terminal); never give it on the command line. It is\n"
     "not logged in any form.\n  printf '%s\\n' \"$KEY\" | kestrel-cli wifi --ssid Workshop\n"});

}  // namespace
