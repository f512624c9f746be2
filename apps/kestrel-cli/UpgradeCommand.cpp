#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Cli.h"
#include "app/AppState.h"
#include "app/DeviceInfo.h"
#include "app/DeviceModel.h"
#include "app/Messages.h"
#include "schedule/ScheduleManager.h"
#include "session/SessionApi.h"
#include "task/DevInfoReader.h"
#include "task/FirmwareUpgrader.h"
#include "utils/LogFacade.h"

namespace {

using namespace std::chrono_literals;

// Both only catch a hung task: a read is at most a few minutes of device and
// web time-outs, an upgrade of two images with every retry somewhat more.
constexpr int kReadTimeoutSeconds = 180;
constexpr int kUpgradeTimeoutSeconds = 900;
// The process waits for the worker to leave the task before statics go away.
constexpr auto kTaskEndWait = 10s;
constexpr int kBarWidth = 30;

constexpr int kPhaseOnline = 1;
constexpr int kPhaseFinished = 2;
constexpr int kPhaseNoConnection = 3;

std::string shown(const std::string& text) { return logfacade::escapeForLog(text, 64); }

struct Progress {
  std::string text;
  int percent = 0;
};

// The texts and percentages the main window shows for each step.
Progress progressOf(int part, int step) {
  if (part == FirmwareUpgrader::kPartTask && step == FirmwareUpgrader::kStepFailed) {
    return {"no connection to the device", 0};
  }
  std::string prefix = part == FirmwareUpgrader::kPartDownload ? "upgrade download"
                       : part == FirmwareUpgrader::kPartJ2534  ? "upgrade J2534"
                                                               : "";
  const int base = part == FirmwareUpgrader::kPartJ2534 ? 50 : 0;
  Progress p;
  switch (step) {
    case FirmwareUpgrader::kStepPrepare: p = {prefix + ": start prepare", base + 10}; break;
    case FirmwareUpgrader::kStepTransfer: p = {prefix + ": prepare Ok, start burn firmware", base + 30}; break;
    case FirmwareUpgrader::kStepPrepareFailed: p = {prefix + ": prepare err,  please retry", 0}; break;
    case FirmwareUpgrader::kStepDone:
      p = base < 50 ? Progress{prefix + ": upgrade ok! start upgrade J2534", base + 50}
                    : Progress{"Success! Please restart and reinsert the product.", base + 50};
      break;
    case FirmwareUpgrader::kStepFailed: p = {prefix + ": burn firmware failed, please retry", 0}; break;
    default: p = {prefix, base + 10}; break;
  }
  p.percent = std::min(p.percent, 100);
  return p;
}

bool isFailure(int step) {
  return step == FirmwareUpgrader::kStepPrepareFailed || step == FirmwareUpgrader::kStepFailed;
}

class ProgressBar {
 public:
  explicit ProgressBar(bool enabled) : enabled_(enabled), tty_(isatty(STDOUT_FILENO) == 1) {}
  // Ends the bar's line on a terminal.
  void finish() {
    if (enabled_ && tty_ && drawn_) std::printf("\n");
    drawn_ = false;
  }
  void show(const Progress& p) {
    if (!enabled_) return;
    const int filled = p.percent * kBarWidth / 100;
    std::string bar = std::string(filled, '#') + std::string(kBarWidth - filled, '-');
    if (tty_) {
      std::printf("\r\033[K[%s] %3d%% %s", bar.c_str(), p.percent, p.text.c_str());
    } else {
      std::printf("[%s] %3d%% %s\n", bar.c_str(), p.percent, p.text.c_str());
    }
    std::fflush(stdout);
    drawn_ = true;
  }

 private:
  bool enabled_;
  bool tty_;
  bool drawn_ = false;
};

// What the run saw; written on the console's thread, read after the task ended.
struct Outcome {
  std::mutex lock;  // guards every field below
  DeviceInfo device;
  int finishedReads = 0;
  bool online = false;
  bool connected = true;
  std::vector<std::pair<int, int>> steps;
};

const char* partResult(const std::vector<std::pair<int, int>>& steps, int part, bool skipped) {
  if (skipped) return "skipped";
  for (const auto& [p, step] : steps) {
    if (p != part) continue;
    if (step == FirmwareUpgrader::kStepDone) return "upgraded";
    if (isFailure(step)) return "failed";
  }
  return "not attempted";
}

void waitForIdle() {
  auto end = std::chrono::steady_clock::now() + kTaskEndWait;
  while (ScheduleManager::getInstance().getRunningTask(kWorkerDevInfo) != -1 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(10ms);
  }
}

int runUpgrade(const cli::Args& args) {
  if (args.words.size() != 1 || args.words[0] != "firmware") {
    std::fprintf(stderr, "usage: kestrel-cli upgrade firmware [--json]\n");
    return 2;
  }
  Outcome outcome;
  ProgressBar bar(!args.json);
  bool readDone = true;
  bool upgradeDone = false;
  bool needsRead = AppState::getInstance().deviceInfo().serialNumber.empty();
  {
    cli::Console* console = nullptr;
    cli::Console owner([&](const AppMessage& message) {
      if (cli::printShowText(message)) return;
      std::lock_guard<std::mutex> guard(outcome.lock);
      if (message.id == UM_DEVICE_INFO && message.wParam != 0) {
        outcome.device = *reinterpret_cast<const DeviceInfo*>(message.wParam);
        const auto phase = static_cast<int>(message.lParam);
        if (phase == kPhaseOnline) outcome.online = true;
        if (phase == kPhaseFinished) ++outcome.finishedReads;
        // With an online query the task reports phase 2 twice; the second is the last.
        if (phase == kPhaseNoConnection || (phase == kPhaseFinished && outcome.finishedReads == (outcome.online ? 2 : 1))) {
          outcome.connected = phase != kPhaseNoConnection;
          console->finished();
        }
      } else if (message.id == UM_FIRMWARE_PROGRESS) {
        const int part = static_cast<int>(message.wParam);
        const int step = static_cast<int>(message.lParam);
        outcome.steps.emplace_back(part, step);
        bar.show(progressOf(part, step));
        if (isFailure(step) || (part == FirmwareUpgrader::kPartJ2534 && step == FirmwareUpgrader::kStepDone)) {
          console->finished();
        }
      }
    });
    console = &owner;
    ScheduleManager& scheduler = ScheduleManager::getInstance();

    if (needsRead) {
      scheduler.addTask(kWorkerDevInfo, kTaskDevInfoReader, std::make_shared<DevInfoReader>());
      readDone = owner.runTask(kTaskDevInfoReader, kReadTimeoutSeconds);
      waitForIdle();
      std::lock_guard<std::mutex> guard(outcome.lock);
      if (readDone && outcome.connected && !outcome.device.serialNumber.empty()) {
        AppState::getInstance().setDeviceInfo(outcome.device);
      }
    }
    const bool haveDevice = !AppState::getInstance().deviceInfo().serialNumber.empty();
    if (readDone && haveDevice) {
      scheduler.addTask(kWorkerDevInfo, kTaskFirmwareUpgrader, std::make_shared<FirmwareUpgrader>());
      upgradeDone = owner.runTask(kTaskFirmwareUpgrader, kUpgradeTimeoutSeconds);
      waitForIdle();
    }
  }
  // A failed upgrade leaves its session open for the next device read; this
  // process ends here, and its receive worker must not still be reconnecting.
  closeAllSessions();

  bar.finish();
  if (!readDone) {
    std::fprintf(stderr, "device read did not finish\n");
    return 1;
  }
  const DeviceInfo device = AppState::getInstance().deviceInfo();
  if (device.serialNumber.empty()) {
    std::fprintf(stderr, outcome.connected ? "device read failed: no serial number\n" : "no device connected\n");
    return 1;
  }
  if (!upgradeDone) {
    std::fprintf(stderr, "firmware upgrade did not finish\n");
    return 1;
  }
  std::vector<std::pair<int, int>> steps;
  {
    std::lock_guard<std::mutex> guard(outcome.lock);
    steps = outcome.steps;
  }
  const bool mainSkipped = classifyModel(device.serialNumber) == 4;
  const bool upgraded = std::string(partResult(steps, FirmwareUpgrader::kPartJ2534, false)) == "upgraded" &&
                        (mainSkipped || std::string(partResult(steps, FirmwareUpgrader::kPartDownload, false)) == "upgraded");
  if (args.json) {
    std::string out = "{\"serialNumber\":" + cli::jsonString(shown(device.serialNumber)) +
                      ",\"model\":" + std::to_string(classifyModel(device.serialNumber)) +
                      ",\"result\":" + cli::jsonString(upgraded ? "upgraded" : "failed") +
                      ",\"firmware\":" + cli::jsonString(partResult(steps, FirmwareUpgrader::kPartDownload, mainSkipped)) +
                      ",\"j2534Firmware\":" + cli::jsonString(partResult(steps, FirmwareUpgrader::kPartJ2534, false)) +
                      ",\"steps\":[";
    for (size_t i = 0; i < steps.size(); ++i) {
      out += (i ? ",[" : "[") + std::to_string(steps[i].first) + "," + std::to_string(steps[i].second) + "]";
    }
    std::printf("%s]}\n", out.c_str());
  }
  if (!upgraded) {
    std::string cause = steps.empty() ? std::string("no progress reported")
                                      : progressOf(steps.back().first, steps.back().second).text;
    std::fprintf(stderr, "firmware upgrade of %s failed: %s\n", shown(device.serialNumber).c_str(), cause.c_str());
    return 1;
  }
  if (!args.json) std::printf("firmware of %s upgraded\n", shown(device.serialNumber).c_str());
  return 0;
}

const cli::CommandRegistration registration("upgrade",
                                            "upgrade firmware [--json]      upgrade both firmware images of the device",
                                            runUpgrade);

}  // namespace
