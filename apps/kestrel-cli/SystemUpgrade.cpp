#include "SystemUpgrade.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "DeviceRead.h"
#include "Interrupt.h"
#include "Progress.h"
#include "app/Messages.h"
#include "app/RecordedRun.h"
#include "app/VersionRule.h"
#include "schedule/ScheduleManager.h"
#include "session/SessionApi.h"
#include "task/SystemUpgrader.h"
#include "utils/LogFacade.h"
#include "viewmodel/HistoryView.h"
#include "viewmodel/SystemProgressView.h"
#include "viewmodel/OverallProgress.h"

namespace cli {

namespace {

// Only catches a hung task: the task bounds its own waits (the device's
// restart takes up to ten minutes).
constexpr int kSystemTimeoutSeconds = 1800;

struct Report {
  int stage;
  int result;
  int value;
};

// Why a run that did not end with (6, 0) failed, in words a user can act on:
// the task's own reason when it gave one.
std::string failureText(const std::vector<Report>& reports, const std::string& package, const std::string& reason) {
  if (!reason.empty()) return reason;
  for (const Report& r : reports) {
    if (r.stage == SystemUpgrader::kChoose && r.result == SystemUpgrader::kGiveUp) {
      return package.empty() ? "no system package is offered online for this device and none was given: nothing was "
                               "sent. Ask customer service for the package and run 'kestrel-cli upgrade system "
                               "--package FILE'"
                             : "the package choice was not taken: nothing was sent";
    }
    if (r.result != SystemUpgrader::kRetry && r.result != SystemUpgrader::kRejected) continue;
    switch (r.stage) {
      case SystemUpgrader::kPrepare: return "no connection to the device's configuration port";
      case SystemUpgrader::kDownload: return "the package download failed";
      case SystemUpgrader::kTransfer:
        return r.result == SystemUpgrader::kRejected
                   ? "the package was refused (no system.ini/system.zip, or a bad description); nothing was installed"
                   : "transfer pkg failed; nothing was installed";
      case SystemUpgrader::kInstall:
        return "the device did not confirm the install or did not come back in time; read it with 'kestrel-cli info'";
      default: break;
    }
  }
  return "the upgrade ended without success";
}

std::string sizeText(double bytes) {
  char text[32];
  if (bytes >= 1024.0 * 1024.0) {
    std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
  } else {
    std::snprintf(text, sizeof text, "%.0f KiB", bytes / 1024.0);
  }
  return text;
}

class SystemRun {
 public:
  SystemRun(const Args& args, std::string package, uint64_t packageSize)
      : args_(args), package_(std::move(package)), packageSize_(packageSize), progress_(args) {}

  bool run(const std::string& serial) {
    task_ = std::make_shared<SystemUpgrader>();
    std::weak_ptr<SystemUpgrader> task = task_;
    setInterruptHandler(
        [this, task] {
          progress_.note("stopping the system upgrade at its next step; press Ctrl-C again to quit at once");
          if (auto t = task.lock()) t->stop();
        },
        "system upgrade interrupted: if the transfer had ended the device may still be installing; read it with "
        "'kestrel-cli info' and run 'kestrel-cli upgrade system' again if it does not hold the new system");
    bool finished = false;
    {
      Console owner([this](const AppMessage& message) { handle(message); });
      console_ = &owner;
      ScheduleManager& scheduler = ScheduleManager::getInstance();
      scheduler.addTask(kWorkerDevInfo, kTaskSystemUpgrader, task_);
      // With a package of the user's own no online query is made: the task
      // then asks for the package, and the answer is this one.
      scheduler.setTaskParam(kTaskSystemUpgrader, "sn", package_.empty() ? serial : std::string());
      scheduler.setTaskParam(kTaskSystemUpgrader, "deviceSn", serial);
      started_ = std::chrono::steady_clock::now();
      finished = owner.runTask(kTaskSystemUpgrader, kSystemTimeoutSeconds);
      if (!finished) task_->stop();
      waitForIdleWorker();
      console_ = nullptr;
    }
    clearInterruptHandler();  // it points at this run
    closeAllSessions();
    progress_.finish();
    return finished;
  }

  std::vector<Report> reports() {
    std::lock_guard<std::mutex> guard(lock_);
    return reports_;
  }

  std::string reason() {
    std::lock_guard<std::mutex> guard(lock_);
    return reason_;
  }

  bool succeeded() {
    std::lock_guard<std::mutex> guard(lock_);
    for (const Report& r : reports_) {
      if (r.stage == SystemUpgrader::kEnd && r.result == 0) return true;
    }
    return false;
  }

 private:
  void handle(const AppMessage& message) {
    const std::string prefix = SystemUpgrader::kFailurePrefix;
    if (message.id == UM_SHOW_TEXT && message.text.compare(0, prefix.size(), prefix) == 0) {
      // Said once, in the closing line.
      std::lock_guard<std::mutex> guard(lock_);
      reason_ = message.text.substr(prefix.size());
      return;
    }
    if (printShowText(message, args_)) return;
    if (message.id != UM_SYSTEM_PROGRESS) return;
    const Report r{static_cast<int>((message.wParam >> 8) & 0xFF), static_cast<int>(message.wParam & 0xFF),
                   static_cast<int>(message.lParam)};
    {
      std::lock_guard<std::mutex> guard(lock_);
      reports_.push_back(r);
    }
    const SystemStageView view = systemStageView(r.stage, r.result, r.value);
    show(r, view);
    if (view.asksForPackage) {
      // The window asks the user here; the command line already knows the answer.
      ScheduleManager::getInstance().setTaskParam(kTaskSystemUpgrader, "pkgPath",
                                                  package_.empty() ? "nofile" : package_);
    }
    if (view.ended && console_) console_->finished();
  }

  void show(const Report& r, const SystemStageView& view) {
    if (!view.shown) return;
    const std::string fields = std::string(",\"stage\":\"") + systemStageName(r.stage) + "\",\"result\":\"" +
                               systemResultName(r.result) + "\",\"value\":" + std::to_string(r.value);
    const int percent = overall_.step(view.percent, view.state == ProgressState::Failed);
    if (r.stage != SystemUpgrader::kTransfer || r.result != 0) {
      progress_.step(percent, view.text, fields);
      return;
    }
    std::string text = view.text;
    if (packageSize_ > 0) {
      const double sent = static_cast<double>(packageSize_) * r.value / 100.0;
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
      text += " " + sizeText(sent) + " of " + sizeText(static_cast<double>(packageSize_));
      if (seconds > 0) text += ", " + sizeText(sent / seconds) + "/s";
    }
    progress_.transfer(percent, text, fields);
  }

  const Args& args_;
  const std::string package_;
  const uint64_t packageSize_;
  Progress progress_;
  OverallProgress overall_;  // the console's thread only
  std::shared_ptr<SystemUpgrader> task_;
  Console* console_ = nullptr;  // set while the task runs
  std::chrono::steady_clock::time_point started_;
  std::mutex lock_;  // guards reports_ and reason_
  std::vector<Report> reports_;
  std::string reason_;
};

void printJson(const DeviceInfo& device, const char* result, const std::string& package,
               const std::vector<Report>& reports) {
  std::string out = "{\"serialNumber\":" + jsonString(device.serialNumber) + ",\"result\":" + jsonString(result) +
                    ",\"from\":" + jsonOrNull(device.system.packageName) + ",\"build\":" +
                    jsonOrNull(device.system.version) + ",\"to\":" + jsonOrNull(device.system.latestVersion) +
                    ",\"package\":" + (package.empty() ? std::string("null") : jsonString(package)) + ",\"steps\":[";
  for (size_t i = 0; i < reports.size(); ++i) {
    out += std::string(i ? "," : "") + "{\"stage\":\"" + systemStageName(reports[i].stage) + "\",\"result\":\"" +
           systemResultName(reports[i].result) + "\",\"value\":" + std::to_string(reports[i].value) + "}";
  }
  std::printf("%s]}\n", out.c_str());
}

}  // namespace

int runSystemUpgrade(const Args& args) {
  std::string package = args.option("package");
  uint64_t packageSize = 0;
  std::string packageVersion;
  if (args.flag("package")) {
    std::error_code ec;
    const std::filesystem::path path = std::filesystem::absolute(package, ec);
    if (package.empty() || ec || !std::filesystem::is_regular_file(path, ec)) {
      std::fprintf(stderr, "--package: '%s' is not a readable file\n", shown(package).c_str());
      return kExitUsage;
    }
    package = path.string();
    packageSize = std::filesystem::file_size(path, ec);
    // Before the device is read or claimed, and in a dry run too.
    std::string problem;
    if (!SystemUpgrader::checkPackage(package, packageVersion, problem)) {
      std::fprintf(stderr, "--package: '%s' is not a system package: %s; nothing was sent\n", shown(package).c_str(),
                   problem.c_str());
      return kExitUsage;
    }
  } else if (std::string problem = servicesProblem(); !problem.empty()) {
    std::fprintf(stderr, "cannot look for a system package online: %s (or give one with --package FILE)\n",
                 problem.c_str());
    return kExitFailed;
  }
  const bool dryRun = args.flag("dry-run");
  Claim claim;
  if (int rc = readAndClaim(args, "system upgrade", dryRun, claim); rc != kExitOk) {
    return dryRun ? rc : recordRefusal(claim, runwhat::kSystem, rc);
  }
  const DeviceInfo device = claim.read.info;
  const std::string before = systemVersionText(device.system);
  std::optional<RecordedRun> record;
  if (!dryRun) record.emplace(device.serialNumber, runwhat::kSystem, before, claim.place);
  const std::string serial = shown(device.serialNumber);
  const std::string from = versionText(device.system.packageName) +
                           (device.system.version.empty() ? "" : " (" + shown(device.system.version) + ")");
  const std::string to = package.empty() ? versionText(device.system.latestVersion)
                                         : "the package " + package + " (system " + shown(packageVersion) + ")";

  // A package of the user's own is what they asked for; one offered online
  // is sent only when the version rule offers it.
  const VersionVerdict verdict = judgeSystem(device.system);
  if (package.empty() && !isOffered(verdict, args.flag("force"))) {
    const bool unknown = verdict == VersionVerdict::LatestUnknown || verdict == VersionVerdict::CurrentUnknown;
    if (args.json) {
      printJson(device, verdict == VersionVerdict::UpToDate ? "up-to-date" : unknown ? "unknown" : "newer-than-online",
                package, {});
    } else if (verdict == VersionVerdict::UpToDate) {
      std::printf("%s is already up to date (system %s)\n", serial.c_str(), from.c_str());
    } else if (verdict == VersionVerdict::NewerThanOnline) {
      std::printf("%s runs system %s, newer than online (%s): nothing was sent\n", serial.c_str(), from.c_str(),
                  to.c_str());
    }
    if (!unknown) {
      if (record) {
        record->finish(RunResult::UpToDate, before, "", verdict == VersionVerdict::UpToDate ? "" : verdictText(verdict));
      }
      return kExitOk;
    }
    const std::string why = verdict == VersionVerdict::CurrentUnknown ? "the device did not tell its system version"
                            : device.system.latestUnknownWhy.empty()
                                ? std::string("the newest system version is unknown")
                                : "the newest system version is unknown: " +
                                      logfacade::escapeForLog(device.system.latestUnknownWhy, kReasonShown);
    std::fprintf(stderr, "%s; nothing was sent. Run again when it is known, or with --force to send the package "
                         "offered online anyway\n", why.c_str());
    if (record) record->finish(RunResult::Refused, before, "", why);
    return kExitFailed;
  }
  if (dryRun) {
    if (args.json) {
      printJson(device, "dry-run", package, {});
    } else {
      std::printf("would send system %s -> %s%s\n", from.c_str(), to.c_str(),
                  package.empty() ? " offered online (size known once downloaded)"
                                  : (", " + sizeText(static_cast<double>(packageSize))).c_str());
    }
    return kExitOk;
  }
  if (!args.quiet() && !args.json) std::fprintf(stderr, "system: %s -> %s\n", from.c_str(), to.c_str());

  SystemRun run(args, package, packageSize);
  const bool finished = run.run(device.serialNumber);
  const std::vector<Report> reports = run.reports();
  const bool upgraded = finished && run.succeeded();
  if (upgraded) {
    record->finish(RunResult::Succeeded, package.empty() ? device.system.latestVersion : packageVersion);
  } else if (wasInterrupted()) {
    record->finish(RunResult::Interrupted, before);
  } else {
    // Where it stopped: the last stage reached before the end.
    std::string stage;
    for (const Report& r : reports) {
      if (r.stage != SystemUpgrader::kEnd) stage = systemStageName(r.stage);
    }
    record->finish(RunResult::Failed, before, stage,
                   finished ? failureText(reports, package, run.reason()) : "did not finish in time");
  }
  if (args.json) printJson(device, upgraded ? "upgraded" : "failed", package, reports);
  if (upgraded) {
    if (!args.json) std::printf("%s: system upgraded\n", serial.c_str());
  } else if (!finished) {
    std::fprintf(stderr, "the system upgrade of %s did not finish in time; %s\n", serial.c_str(),
                 logFileHint().c_str());
  } else {
    std::fprintf(stderr, "the system upgrade of %s failed: %s; %s\n", serial.c_str(),
                 failureText(reports, package, shown(run.reason())).c_str(), logFileHint().c_str());
  }
  if (wasInterrupted()) return kExitInterrupted;
  return upgraded ? kExitOk : kExitFailed;
}

}  // namespace cli
