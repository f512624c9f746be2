#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "Cli.h"
#include "DeviceRead.h"
#include "Upgrade.h"
#include "app/DeviceModel.h"
#include "schedule/ScheduleManager.h"
#include "session/SessionApi.h"
#include "wifi/ConfigWifiTask.h"

namespace {

// The device waits up to 20 s for its answer to the configuration, after a
// connection and a mode switch: this only catches a hung task.
constexpr int kWifiTimeoutSeconds = 120;
constexpr size_t kMaxField = ConfigWifiTask::kMaxFieldLength;

// Overwrites a secret before its memory is given back.
void wipe(std::string& secret) {
  volatile char* p = secret.data();
  for (size_t i = 0; i < secret.size(); ++i) p[i] = 0;
  secret.clear();
}

void dropLineEnd(std::string& line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
}

// The first line of the key file, or of stdin (asked for without echo on a
// terminal). Never from the command line: other users can read a process's
// arguments.
bool readKey(const cli::Args& args, const std::string& ssid, std::string& key) {
  if (args.flag("key-file")) {
    std::ifstream file(args.option("key-file"));
    if (!file || !std::getline(file, key)) {
      std::fprintf(stderr, "--key-file: cannot read a line from '%s'\n", cli::shown(args.option("key-file")).c_str());
      return false;
    }
    dropLineEnd(key);
    return true;
  }
  termios saved{};
  const bool terminal = isatty(STDIN_FILENO) == 1 && tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    std::fprintf(stderr, "Wi-Fi key for %s: ", cli::shown(ssid).c_str());
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  char buffer[1024];
  const bool got = std::fgets(buffer, sizeof buffer, stdin) != nullptr;
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputc('\n', stderr);
  }
  if (got) key = buffer;
  std::memset(buffer, 0, sizeof buffer);
  if (!got) {
    std::fprintf(stderr, "no key on standard input (give it there or with --key-file FILE)\n");
    return false;
  }
  dropLineEnd(key);
  return true;
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

// The Wi-Fi window's error texts by failed step.
const char* stepText(uint32_t step) {
  switch (step) {
    case CreateConnect: return "ERR_WIFI_CONNECT : Failed, step : CreateConnect";
    case ConfigSwitchJ2534: return "ERR_WIFI_CONNECT : Failed, step : ConfigSwitchJ2534";
    case ConfigRequest: return "ERR_WIFI_CONNECT : Failed, step : ConfigRequest";
    case Finish: return "ERR_WIFI_CONNECT : Failed, step : Finish";
    default: return "ERR_WIFI_CONNECT : Failed, step : UnKnow";
  }
}

const char* stepName(uint32_t step) {
  switch (step) {
    case CreateConnect: return "CreateConnect";
    case ConfigSwitchJ2534: return "ConfigSwitchJ2534";
    case ConfigRequest: return "ConfigRequest";
    case Finish: return "Finish";
    default: return "UnKnow";
  }
}

int runWifi(const cli::Args& args) {
  const std::string ssid = args.option("ssid");
  if (ssid.empty() || ssid.size() > kMaxField) {
    std::fprintf(stderr, "--ssid needs 1 to %zu bytes\n", kMaxField);
    return cli::kExitUsage;
  }
  std::string key;
  if (!readKey(args, ssid, key)) return cli::kExitUsage;
  if (key.empty() || key.size() > kMaxField) {
    wipe(key);
    std::fprintf(stderr, "the key needs 1 to %zu bytes (an open network cannot be configured)\n", kMaxField);
    return cli::kExitUsage;
  }

  cli::Claim claim;
  if (int rc = cli::claimDevice(args, "Wi-Fi configuration", false, claim); rc != cli::kExitOk) {
    wipe(key);
    return rc;
  }
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
    scheduler.setTaskParam(kTaskConfigWifi, "password", "");
    console = nullptr;
    task->setNotifier(nullptr);
  }
  closeAllSessions();
  const bool ok = finished && result.step() == Finish && result.code() == 0;
  if (args.json) {
    std::printf("{\"serialNumber\":%s,\"ssid\":%s,\"result\":%s,\"step\":%s,\"code\":%d}\n",
                cli::jsonString(claim.read.info.serialNumber).c_str(), cli::jsonString(ssid).c_str(),
                ok ? "\"configured\"" : "\"failed\"", cli::jsonString(stepName(result.step())).c_str(),
                static_cast<int>(result.code()));
  } else if (ok) {
    std::printf("Wifi Connect Success: %s joins %s\n", serial.c_str(), cli::shown(ssid).c_str());
  }
  if (!finished) {
    std::fprintf(stderr, "the Wi-Fi configuration of %s did not finish in time\n", serial.c_str());
  } else if (!ok) {
    std::fprintf(stderr, "%s (code %d); %s\n", stepText(result.step()), static_cast<int>(result.code()),
                 cli::logFileHint().c_str());
  }
  return ok ? cli::kExitOk : cli::kExitFailed;
}

std::vector<cli::OptionSpec> wifiOptions() {
  std::vector<cli::OptionSpec> options = {
      {"ssid", "SSID", "the network the device joins (1 to 255 bytes)"},
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
