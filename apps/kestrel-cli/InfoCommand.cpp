#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "Cli.h"
#include "app/AppState.h"
#include "app/DeviceInfo.h"
#include "app/DeviceModel.h"
#include "app/Messages.h"
#include "schedule/ScheduleManager.h"
#include "task/DevInfoReader.h"
#include "utils/LogFacade.h"

namespace {

using namespace std::chrono_literals;

// Five mode reads of 5 s, the other reads, and up to six web queries of 5 s
// each: this only catches a hung read.
constexpr int kReadTimeoutSeconds = 180;
// The task pauses 1 s after its last report; the process waits for it so no
// worker is still running while the program's statics go away.
constexpr auto kTaskEndWait = 10s;

constexpr int kPhaseOnline = 1;
constexpr int kPhaseFinished = 2;
constexpr int kPhaseNoConnection = 3;

// Versions come from the device and the web: printable ASCII only.
std::string shown(const std::string& text) { return logfacade::escapeForLog(text, 128); }

bool upgradable(const std::string& current, const std::string& latest) {
  return !latest.empty() && latest != current;
}

struct Line {
  const char* label;
  const std::string& current;
  const std::string& latest;
  const std::string& build;  // empty but for the system
};

void printText(const DeviceInfo& info) {
  static const std::string none;
  std::printf("serial number: %s\n", shown(info.serialNumber).c_str());
  std::printf("model: %d\n", classifyModel(info.serialNumber));
  // The system's current version is the text the version service compares
  // with; its build number follows in brackets.
  const Line lines[] = {{"firmware", info.firmware.version, info.firmware.latestVersion, none},
                        {"J2534 firmware", info.j2534Firmware.version, info.j2534Firmware.latestVersion, none},
                        {"system", info.system.packageName, info.system.latestVersion, info.system.version}};
  for (const Line& line : lines) {
    std::string text = line.current.empty() ? "-" : shown(line.current);
    if (!line.build.empty()) text += " (" + shown(line.build) + ")";
    text += ", newest " + (line.latest.empty() ? std::string("-") : shown(line.latest));
    if (upgradable(line.current, line.latest)) text += ", upgrade available";
    std::printf("%s: %s\n", line.label, text.c_str());
  }
  if (!info.platform.packageName.empty()) {
    std::printf("platform: %s %s\n", shown(info.platform.packageName).c_str(), shown(info.platform.version).c_str());
  }
}

std::string slotJson(const SoftwareSlot& slot, const std::string& current) {
  return "{\"current\":" + cli::jsonString(current) + ",\"latest\":" + cli::jsonString(slot.latestVersion) +
         ",\"downloadLink\":" + cli::jsonString(slot.downloadLink) +
         ",\"upgrade\":" + (upgradable(current, slot.latestVersion) ? "true" : "false");
}

void printJson(const DeviceInfo& info) {
  std::string out = "{\"serialNumber\":" + cli::jsonString(shown(info.serialNumber)) +
                    ",\"model\":" + std::to_string(classifyModel(info.serialNumber));
  out += ",\"firmware\":" + slotJson(info.firmware, shown(info.firmware.version)) + "}";
  out += ",\"j2534Firmware\":" + slotJson(info.j2534Firmware, shown(info.j2534Firmware.version)) + "}";
  out += ",\"system\":" + slotJson(info.system, shown(info.system.packageName)) +
         ",\"build\":" + cli::jsonString(shown(info.system.version)) + "}";
  out += ",\"platform\":{\"name\":" + cli::jsonString(shown(info.platform.packageName)) +
         ",\"version\":" + cli::jsonString(shown(info.platform.version)) + "}}";
  std::printf("%s\n", out.c_str());
}

int runInfo(const cli::Args& args) {
  DeviceInfo last;
  bool connected = true;
  bool ran = false;
  {
    bool online = false;
    int finishedCount = 0;
    cli::Console* console = nullptr;
    cli::Console owner([&](const AppMessage& message) {
      if (cli::printShowText(message)) return;
      if (message.id != UM_DEVICE_INFO || message.wParam == 0) return;
      last = *reinterpret_cast<const DeviceInfo*>(message.wParam);
      const auto phase = static_cast<int>(message.lParam);
      if (phase == kPhaseOnline) online = true;
      if (phase == kPhaseFinished) ++finishedCount;
      // With an online query the task reports phase 2 twice; the second is the last.
      bool done = phase == kPhaseNoConnection || (phase == kPhaseFinished && finishedCount == (online ? 2 : 1));
      if (!done) return;
      connected = phase != kPhaseNoConnection;
      AppState::getInstance().setDeviceInfo(last);
      console->finished();
    });
    console = &owner;
    ScheduleManager& scheduler = ScheduleManager::getInstance();
    scheduler.addTask(kWorkerDevInfo, kTaskDevInfoReader, std::make_shared<DevInfoReader>());
    ran = owner.runTask(kTaskDevInfoReader, kReadTimeoutSeconds);
    if (ran) {
      auto end = std::chrono::steady_clock::now() + kTaskEndWait;
      while (scheduler.getRunningTask(kWorkerDevInfo) != -1 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(10ms);
      }
    }
  }
  if (!ran) {
    std::fprintf(stderr, "device read did not finish\n");
    return 1;
  }
  if (!connected) {
    std::fprintf(stderr, "no device connected\n");
    return 1;
  }
  if (args.json) {
    printJson(last);
  } else {
    printText(last);
  }
  return last.serialNumber.empty() ? 1 : 0;
}

const cli::CommandRegistration registration(
    "info", "info [--json]                 read the device and the newest versions", runInfo);

}  // namespace
