#include "task/SystemUpgrader.h"

#include <cerrno>
#include <optional>

#include "platform/Clock.h"
#include "utils/LogFacade.h"
#include "utils/RunFolder.h"
#include "utils/TextEscape.h"

namespace {

using namespace std::chrono_literals;
using Stage = SystemStage;
using Result = SystemResult;

constexpr int kFirstConnectMs = 10000;
constexpr int kTries = 3;
constexpr auto kPrepareRetryPause = 100ms;
constexpr size_t kLoggedText = 2048;

constexpr char kNoFile[] = "nofile";

// The stage after a step's result; none when the result ends the run.
std::optional<Stage> nextStage(Stage stage, Result result) {
  switch (stage) {
    case Stage::kPrepare:
      if (result == Result::kDone) return Stage::kDownload;
      if (result == Result::kNoPackage) return Stage::kChoose;
      if (result == Result::kGiveUp) return Stage::kEnd;
      return std::nullopt;
    case Stage::kDownload: if (result == Result::kDone) return Stage::kTransfer; return std::nullopt;
    case Stage::kChoose:
      if (result == Result::kDone) return Stage::kTransfer;
      if (result == Result::kGiveUp) return Stage::kEnd;
      return std::nullopt;
    case Stage::kTransfer: if (result == Result::kDone) return Stage::kInstall; return std::nullopt;
    case Stage::kInstall: if (result == Result::kDone) return Stage::kEnd; return std::nullopt;
    case Stage::kEnd: break;
  }
  return std::nullopt;
}

}  // namespace

int SystemUpgrader::setParam(const std::string& key, const std::string& value) {
  Task::setParam(key, value);
  const std::string path = getParam("pkgPath");
  std::lock_guard<std::mutex> guard(waitLock_);
  if (!path.empty()) pkgPath_ = path;
  pkgPathSignal_.notify_all();
  return 0;
}

void SystemUpgrader::stop() {
  stopRequested_.store(true);
  running_.store(0);
  // Under the lock, so a choice that has just found no path cannot miss it.
  std::lock_guard<std::mutex> guard(waitLock_);
  pkgPathSignal_.notify_all();
}

void SystemUpgrader::run() {
  running_.store(1);
  stage_ = Stage::kPrepare;
  if (stopping()) {
    LOG_WARN("system upgrade stopped before it started");
    report(stage_, Result::kRetry);
    finishRun();
    return;
  }
  if (transfer_.connect(kFirstConnectMs) != 0) {
    LOG_WARN("connect device failed");
    report(stage_, Result::kRetry);
    finishRun();
    return;
  }
  int retries = 0;
  Result lastResult = Result::kDone;
  bool reported = false;  // the run's last report is out
  while (running_.load() == 1 && !reported) {
    const Stage stage = stage_;
    if (stage == Stage::kEnd) {
      running_.store(0);
      report(Stage::kEnd, lastResult);
      reported = true;
      break;
    }
    Result result = step(stage);
    if (stopping()) break;
    if (result == Result::kRetry) {
      // A failed transfer is not repeated: the device would start over anyway.
      retries = stage == Stage::kTransfer ? kTries : retries + 1;
      if (retries < kTries) {
        if (stage == Stage::kPrepare) transfer_.pause(kPrepareRetryPause);
        continue;
      }
      // The package service keeps failing: offer the local package instead.
      if (stage != Stage::kPrepare) {
        report(stage, Result::kRetry);
        reported = true;
        break;
      }
      result = Result::kNoPackage;
    }
    retries = 0;
    const std::optional<Stage> next = nextStage(stage, result);
    // A rejected package, an answered failure or anything unforeseen ends
    // the run as a failure of its step.
    report(stage, next ? result : Result::kRetry);
    reported = !next;
    lastResult = result;
    if (next) stage_ = *next;
  }
  if (!reported) {
    LOG_WARN("system upgrade stopped in state %d", static_cast<int>(stage_));
    report(stage_, Result::kRetry);
  }
  finishRun();
}

SystemResult SystemUpgrader::step(SystemStage stage) {
  switch (stage) {
    case Stage::kPrepare: return prepare();
    case Stage::kDownload: return download();
    case Stage::kChoose: return waitBoxChoicePkg();
    case Stage::kTransfer: return transfer();
    case Stage::kInstall: return transfer_.install();
    case Stage::kEnd: break;
  }
  return Result::kFailed;
}

void SystemUpgrader::finishRun() {
  running_.store(0);
  stage_ = Stage::kPrepare;
  {
    std::lock_guard<std::mutex> guard(waitLock_);
    pkgPath_.clear();
  }
  serialNumber_.clear();
  transfer_.expectDevice({});
  packageUrl_.clear();
  clearParams();
  transfer_.close();
  package_.forgetDownloads();
  stopRequested_.store(false);
}

SystemResult SystemUpgrader::prepare() {
  serialNumber_ = getParam("sn");
  std::string expected = getParam("deviceSn");
  transfer_.expectDevice(expected.empty() ? serialNumber_ : expected);
  packageUrl_.clear();
  return package_.query(serialNumber_, packageUrl_);
}

SystemResult SystemUpgrader::download() {
  std::string destination;
  const SystemResult result = package_.download(packageUrl_, destination);
  if (result != SystemResult::kDone) return result;
  std::lock_guard<std::mutex> guard(waitLock_);
  pkgPath_ = destination;
  return result;
}

SystemResult SystemUpgrader::waitBoxChoicePkg() {
  std::unique_lock<std::mutex> guard(waitLock_);
  const auto deadline = platform::SteadyClock::now() + platform::scaled(kChoiceLimit);
  while (pkgPath_.empty()) {
    if (stopping()) return Result::kGiveUp;
    LOG_INFO("have not set pkgFile");
    if (pkgPathSignal_.wait_until(guard, deadline) == std::cv_status::timeout && pkgPath_.empty()) {
      LOG_WARN("no package chosen in time");
      return Result::kGiveUp;
    }
  }
  return pkgPath_ == kNoFile ? Result::kGiveUp : Result::kDone;
}

SystemResult SystemUpgrader::transfer() {
  std::string package;
  {
    std::lock_guard<std::mutex> guard(waitLock_);
    package = pkgPath_;
  }
  // A folder of its own for each attempt: nothing of the user's is touched,
  // and nothing an earlier attempt left can pass for this package.
  RunFolder work("system-");
  if (work.path().empty()) {
    LOG_WARN("cannot make a work folder, errCode : %d", errno);
    return SystemResult::kRetry;
  }
  std::string image, version, problem;
  if (!SystemPackage::unpackPackage(package, work.path(), image, version, problem)) {
    reportSystemFailure("the package " + logfacade::escapeForLog(package, kLoggedText) +
                        " is not a system package: " + problem + "; nothing was sent");
    return SystemResult::kRejected;
  }
  return transfer_.send(image, version);
}
