#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Cli.h"
#include "FleetRun.h"
#include "DeviceRead.h"
#include "Interrupt.h"
#include "Progress.h"
#include "SystemUpgrade.h"
#include "app/AppState.h"
#include "app/DeviceModel.h"
#include "app/Messages.h"
#include "app/RecordedRun.h"
#include "app/VersionRule.h"
#include "utils/LogFacade.h"
#include "firmware/CFirmwareUpDateUtils.h"
#include "schedule/ScheduleManager.h"
#include "session/SessionApi.h"
#include "task/FirmwareUpgrader.h"
#include "viewmodel/FirmwareProgressView.h"
#include "viewmodel/HistoryView.h"
#include "viewmodel/OverallProgress.h"
#include "viewmodel/UpgradePlan.h"

namespace {

// Where the current image's transfer began; a smaller count means the next image.
struct TransferClock {
  std::chrono::steady_clock::time_point start{};
  size_t last = 0;
  OverallProgress overall;
  int partEnd = 50;  // the figure the running part ends at
};

// One image transfer's advance: chunks, bytes and rate beside the bar.
void showTransfer(cli::Progress& progress, const AppMessage& message, TransferClock& clock) {
  const size_t done = message.wParam;
  const size_t total = static_cast<size_t>(message.lParam);
  if (total == 0 || done > total) return;
  constexpr size_t kChunk = CFirmwareUpDateUtils::kChunkSize;
  const auto now = std::chrono::steady_clock::now();
  if (clock.start == std::chrono::steady_clock::time_point{} || done < clock.last) clock.start = now;
  clock.last = done;
  const double seconds = std::chrono::duration<double>(now - clock.start).count();
  char text[160];
  std::snprintf(text, sizeof text, "sending image: chunk %zu of %zu, %zu of %zu KiB", (done + kChunk - 1) / kChunk,
                (total + kChunk - 1) / kChunk, done / 1024, total / 1024);
  std::string line = text;
  if (seconds > 0.05) {
    std::snprintf(text, sizeof text, ", %.0f KiB/s", static_cast<double>(done) / 1024.0 / seconds);
    line += text;
  }
  char fields[96];
  std::snprintf(fields, sizeof fields, ",\"bytes\":%zu,\"total\":%zu", done, total);
  progress.transfer(clock.overall.transfer(done, total, clock.partEnd), line, fields);
}

// Only catches a hung task: two images with every retry take a few minutes.
constexpr int kUpgradeTimeoutSeconds = 900;

using Upgrader = FirmwareUpgrader;

using Plan = PartPlan;

// The JSON name of why a part is not sent.
const char* unsentName(VersionVerdict verdict) {
  switch (verdict) {
    case VersionVerdict::UpToDate: return "up-to-date";
    case VersionVerdict::NewerThanOnline: return "newer-than-online";
    case VersionVerdict::LatestUnknown: return "latest-unknown";
    case VersionVerdict::CurrentUnknown: return "current-unknown";
    case VersionVerdict::Upgrade: break;
  }
  return "would upgrade";
}

std::string partResult(const std::vector<std::pair<int, int>>& steps, const Plan& plan) {
  if (plan.skipped) return "skipped";
  for (const auto& [part, step] : steps) {
    if (part != plan.part) continue;
    if (step == Upgrader::kStepDone) return "upgraded";
    if (step == Upgrader::kStepSkipped) return unsentName(plan.verdict());
    if (firmwareStepView(part, step).state == ProgressState::Failed) return "failed";
  }
  return "not attempted";
}

// Why a part is not sent, for the user: the verdict, and for an unknown newest version its cause.
std::string unsentText(const Plan& plan) {
  const SoftwareSlot& slot = *plan.slot;
  switch (plan.verdict()) {
    case VersionVerdict::UpToDate:
      return std::string(plan.label) + " " + cli::versionText(slot.version) + " is up to date";
    case VersionVerdict::NewerThanOnline:
      return std::string(plan.label) + " " + cli::versionText(slot.version) + " is newer than online (" +
             cli::shown(slot.latestVersion) + ")";
    case VersionVerdict::LatestUnknown:
      return "the newest " + std::string(plan.label) + " is unknown: " +
             (slot.latestUnknownWhy.empty() ? std::string("the device read gave no online version")
                                            : logfacade::escapeForLog(slot.latestUnknownWhy, cli::kReasonShown));
    case VersionVerdict::CurrentUnknown:
      return "the device did not say which " + std::string(plan.label) + " it runs";
    case VersionVerdict::Upgrade: break;
  }
  return "";
}

std::string planJson(const Plan& plan, const std::string& result) {
  std::string out = std::string("{\"from\":") + cli::jsonOrNull(plan.slot->version) +
                    ",\"to\":" + cli::jsonOrNull(plan.slot->latestVersion) + ",\"result\":" + cli::jsonString(result);
  if (!plan.skipped && plan.verdict() == VersionVerdict::LatestUnknown) {
    out += ",\"why\":" + cli::jsonOrNull(plan.slot->latestUnknownWhy);
  }
  return out + "}";
}

void printJsonResult(const DeviceInfo& device, const char* result, const std::vector<Plan>& plans,
                     const std::vector<std::pair<int, int>>& steps, bool ran, bool force) {
  std::string out = "{\"serialNumber\":" + cli::jsonString(device.serialNumber) +
                    ",\"model\":" + std::to_string(modelNumber(classifyModel(device.serialNumber))) +
                    ",\"result\":" + cli::jsonString(result);
  for (const Plan& plan : plans) {
    const std::string partOutcome = ran ? partResult(steps, plan) : plan.skipped ? "skipped"
                                                                    : plan.sent(force) ? "would upgrade"
                                                                                       : unsentName(plan.verdict());
    out += std::string(",\"") + firmwarePartName(plan.part) + "\":" + planJson(plan, partOutcome);
  }
  out += ",\"steps\":[";
  for (size_t i = 0; i < steps.size(); ++i) {
    out += std::string(i ? "," : "") + "{\"part\":\"" + firmwarePartName(steps[i].first) + "\",\"step\":\"" +
           firmwareStepName(steps[i].second) + "\"}";
  }
  std::printf("%s]}\n", out.c_str());
}

int runFirmwareUpgrade(const cli::Args& args) {
  if (std::string problem = cli::servicesProblem(); !problem.empty()) {
    std::fprintf(stderr, "cannot upgrade: %s\n", problem.c_str());
    return cli::kExitFailed;
  }
  const bool dryRun = args.flag("dry-run");
  cli::Claim claim;
  if (int rc = cli::readAndClaim(args, "firmware upgrade", dryRun, claim); rc != cli::kExitOk) {
    return dryRun ? rc : cli::recordRefusal(claim, runwhat::kFirmware, rc);
  }
  const DeviceInfo device = claim.read.info;
  const std::string serial = cli::shown(device.serialNumber);
  const std::vector<Plan> plans = firmwarePlan(device);
  const bool force = args.flag("force");
  const std::string before = firmwareVersionsText(device, false, force);
  std::optional<RecordedRun> record;
  if (!dryRun) record.emplace(device.serialNumber, runwhat::kFirmware, before, claim.place);
  bool anySent = false;
  bool allUpToDate = true;
  bool unknownVersion = false;  // a part left unsent because a version it is judged by is unknown
  std::string versions;
  std::vector<std::string> unsent;
  cli::Progress progress(args);
  for (const Plan& plan : plans) {
    if (plan.skipped) continue;
    const VersionVerdict verdict = plan.verdict();
    anySent = anySent || plan.sent(force);
    allUpToDate = allUpToDate && verdict == VersionVerdict::UpToDate;
    if (!plan.sent(force)) {
      unknownVersion = unknownVersion || verdict == VersionVerdict::LatestUnknown ||
                      verdict == VersionVerdict::CurrentUnknown;
      unsent.push_back(unsentText(plan));
    }
    versions += std::string(versions.empty() ? "" : ", ") + plan.label + " " + cli::versionText(plan.slot->version);
    const std::string why = verdict == VersionVerdict::Upgrade ? "" : std::string(" (") + verdictText(verdict) + ")";
    progress.note(std::string(plan.label) + ": " + cli::versionText(plan.slot->version) + " -> " +
                  cli::versionText(plan.slot->latestVersion) + why);
  }

  if (!anySent) {
    if (record) {
      std::string why;
      for (const std::string& text : unsent) why += (why.empty() ? "" : "; ") + text;
      record->finish(unknownVersion ? RunResult::Refused : RunResult::UpToDate, before, "", allUpToDate ? "" : why);
    }
    if (args.json) {
      printJsonResult(device, allUpToDate ? "up-to-date" : unknownVersion ? "version-unknown" : "not-sent", plans, {},
                      false, force);
    } else if (allUpToDate) {
      std::printf("%s is already up to date (%s)\n", serial.c_str(), versions.c_str());
    } else {
      for (const std::string& text : unsent) std::fprintf(stderr, "not sent: %s\n", text.c_str());
      std::fprintf(stderr, "nothing was sent to %s; --force sends what is online anyway\n", serial.c_str());
    }
    return unknownVersion ? cli::kExitFailed : cli::kExitOk;
  }
  if (dryRun) {
    if (args.json) {
      printJsonResult(device, "dry-run", plans, {}, false, force);
      return cli::kExitOk;
    }
    for (const Plan& plan : plans) {
      if (plan.skipped) continue;
      if (!plan.sent(force)) {
        std::printf("would not send: %s\n", unsentText(plan).c_str());
        continue;
      }
      std::printf("would send %s %s -> %s, from %s (size known once downloaded)\n", plan.label,
                  cli::versionText(plan.slot->version).c_str(), cli::versionText(plan.slot->latestVersion).c_str(),
                  plan.slot->downloadLink.empty() ? "the firmware-information service"
                                                  : cli::shown(plan.slot->downloadLink).c_str());
    }
    return cli::kExitOk;
  }

  std::mutex lock;  // guards steps
  std::vector<std::pair<int, int>> steps;
  TransferClock transferClock;  // the console's thread only
  bool finished = false;
  cli::setInterruptHandler(
      [&progress] {
        progress.note("interrupt: the upgrade runs on to its end so the device is not left in its boot loader; "
                      "press Ctrl-C again to quit at once");
      },
      "upgrade interrupted: the device may be left in its boot loader; running 'kestrel-cli upgrade firmware --force' "
      "again recovers it");
  {
    cli::Console* console = nullptr;
    cli::Console owner([&](const AppMessage& message) {
      if (cli::printShowText(message, args)) return;
      if (message.id == UM_TRANSFER_PROGRESS) {
        showTransfer(progress, message, transferClock);
        return;
      }
      if (message.id != UM_FIRMWARE_PROGRESS) return;
      const int part = static_cast<int>(message.wParam);
      const int step = static_cast<int>(message.lParam);
      {
        std::lock_guard<std::mutex> guard(lock);
        steps.emplace_back(part, step);
      }
      const FirmwareStepView view = firmwareStepView(part, step);
      transferClock.partEnd = part == Upgrader::kPartJ2534 ? 100 : 50;
      progress.step(transferClock.overall.step(view.percent, view.state == ProgressState::Failed), view.text,
                    std::string(",\"part\":\"") + firmwarePartName(part) + "\",\"step\":\"" +
                        firmwareStepName(step) + "\"");
      if (view.ended) console->finished();
    });
    console = &owner;
    ScheduleManager::getInstance().addTask(kWorkerDevInfo, kTaskFirmwareUpgrader, std::make_shared<FirmwareUpgrader>());
    ScheduleManager::getInstance().setTaskParam(kTaskFirmwareUpgrader, FirmwareUpgrader::kParamForce, force ? "1" : "0");
    finished = owner.runTask(kTaskFirmwareUpgrader, kUpgradeTimeoutSeconds);
    cli::waitForIdleWorker();
  }
  // The handler uses this run's progress display, which ends with this function.
  cli::clearInterruptHandler();
  // A failed upgrade leaves its session open for the next device read; this
  // process ends here, and its receive worker must not still be reconnecting.
  closeAllSessions();
  progress.finish();

  std::lock_guard<std::mutex> guard(lock);
  bool upgraded = finished;
  for (const Plan& plan : plans) upgraded = upgraded && (!plan.sent(force) || partResult(steps, plan) == "upgraded");
  if (args.json) printJsonResult(device, upgraded ? "upgraded" : "failed", plans, steps, true, force);
  if (!finished) {
    std::fprintf(stderr, "the firmware upgrade of %s did not finish in time; %s\n", serial.c_str(),
                 cli::logFileHint().c_str());
  } else if (!upgraded) {
    const std::string cause = steps.empty() ? std::string("no progress reported")
                                            : firmwareStepView(steps.back().first, steps.back().second).text;
    std::fprintf(stderr, "the firmware upgrade of %s failed: %s; %s\n", serial.c_str(), cause.c_str(),
                 cli::logFileHint().c_str());
  } else if (!args.json) {
    // A Ctrl-C that did not stop the run leaves nothing undone: say so, and end as any success.
    std::printf("%s upgraded%s\n", serial.c_str(),
                cli::wasInterrupted() ? " (the interrupt came during the transfer, which ran on to its end)" : "");
  }
  if (upgraded) {
    record->finish(RunResult::Succeeded, firmwareVersionsText(device, true, force));
  } else if (cli::wasInterrupted()) {
    record->finish(RunResult::Interrupted, before);
  } else if (!finished || steps.empty()) {
    record->finish(RunResult::Failed, before, "", finished ? "no progress reported" : "did not finish in time");
  } else {
    const auto [part, step] = steps.back();
    record->finish(RunResult::Failed, before, std::string(firmwarePartName(part)) + "/" + firmwareStepName(step),
                   firmwareStepView(part, step).text);
  }
  if (upgraded) {
    for (const std::string& text : unsent) std::fprintf(stderr, "not sent: %s\n", text.c_str());
    return unknownVersion ? cli::kExitFailed : cli::kExitOk;
  }
  if (cli::wasInterrupted()) return cli::kExitInterrupted;
  return cli::kExitFailed;
}

int runUpgrade(const cli::Args& args) {
  const std::string what = args.words.size() == 1 ? args.words[0] : "";
  if (args.flag("all") && (what == "system" || what == "firmware")) return cli::runOnEveryDevice(args, {"upgrade", what});
  if (what == "system") return cli::runSystemUpgrade(args);
  if (what != "firmware") {
    std::fprintf(stderr, "usage: kestrel-cli upgrade firmware|system [options]\n");
    return cli::kExitUsage;
  }
  if (args.flag("package")) {
    std::fprintf(stderr, "--package is for 'upgrade system' only\n");
    return cli::kExitUsage;
  }
  return runFirmwareUpgrade(args);
}

std::vector<cli::OptionSpec> upgradeOptions() {
  std::vector<cli::OptionSpec> options = cli::deviceOptions();
  options.push_back({"force", nullptr, "send even what is up to date, newer than online, or of unknown newest version"});
  options.push_back({"dry-run", nullptr, "show what would be sent (from -> to) and touch nothing"});
  options.push_back({"package", "FILE", "system only: this package instead of the one online"});
  options.push_back({"json", nullptr, "result as JSON on stdout, progress as JSON lines on stderr"});
  options.push_back(cli::allDevicesOption());
  return options;
}

const cli::CommandRegistration registration(
    {"upgrade", "firmware|system [--force] [--dry-run] [--package FILE] [--link ... [--device ...] | --all] [--json]",
     "upgrade the device's firmware images or its system", upgradeOptions(), runUpgrade,
     "firmware: both firmware images (model 4 has only the J2534 one), from the\n"
     "  packages the web services name. An image is sent only when the one online\n"
     "  is newer; one that is up to date, newer than online, or whose newest\n"
     "  version is unknown (exit status 1, with the cause) is not, unless --force.\n"
     "system: the system package online, or --package FILE; without either the\n"
     "  upgrade ends without touching the device.\n"
     "Only one upgrade or Wi-Fi change runs per device at a time: a second one is\n"
     "refused at once with \"busy: ...\" (exit status 4).\n"
     "Ctrl-C (or SIGTERM) lets a firmware upgrade run on to its end and stops a\n"
     "system upgrade at its next step; a second one quits at once and may leave the\n"
     "device in its boot loader, which running the upgrade again with --force recovers.\n"
     "--all: every device found on USB and the LAN at once, each in a run of its own\n"
     "  (its own claim, session and progress line), then a summary; exit status 0\n"
     "  only when every device ended well. Devices already current are skipped.\n"});

}  // namespace
