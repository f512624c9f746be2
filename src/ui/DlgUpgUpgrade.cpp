// The main window's firmware and system upgrades.
#include <chrono>

#include "app/DeviceClaim.h"
#include "platform/Clock.h"
#include "task/FirmwareUpgrader.h"
#include "task/SystemUpgrader.h"
#include "ui/DlgUpg.h"
#include "ui/DlgUpgParts.h"
#include "viewmodel/FirmwareProgressView.h"
#include "viewmodel/HistoryView.h"
#include "viewmodel/ProbeTask.h"
#include "viewmodel/SystemProgressView.h"
#include "viewmodel/UpgradePlan.h"

using namespace dlgupg;

namespace {

using namespace std::chrono_literals;

// A device restarts after a firmware upgrade before it answers a read.
constexpr auto kRestartSettle = 4000ms;

// The progress bar's style for a run's state.
QString statusName(ProgressState state) {
  switch (state) {
    case ProgressState::Failed: return QStringLiteral("error");
    case ProgressState::Succeeded: return QStringLiteral("ok");
    case ProgressState::Running: break;
  }
  return {};
}

}  // namespace

void DlgUpg::startUpgrade(bool system) {
  ScheduleManager& scheduler = ScheduleManager::getInstance();
  // A check that is waiting for its turn counts as running.
  const int running = probeRunning_ ? kTaskProbe : scheduler.getRunningTask(kWorkerDevInfo);
  if (running != -1) {
    services_->messageBox(kTaskRunningRefusal + std::to_string(running), "option");
    return;
  }
  const std::string serial = deviceView_.record().serialNumber;
  bool force = false;
  if (!confirmNotOffered(system, force)) return;
  std::string holder, place;
  switch (claimDevice(serial, (system ? "system upgrade of " : "firmware upgrade of ") + serial, upgradeLock_, holder,
                      &place)) {
    case platform::DeviceLock::Result::Acquired:
      break;
    case platform::DeviceLock::Result::Busy:
      services_->messageBox(busyText(holder) + ". Please wait until it ends, then try again.", "option");
      return;
    case platform::DeviceLock::Result::Failed:
      services_->messageBox("Cannot claim the device for the upgrade: " + holder, "option");
      return;
  }
  enableControl("btn_fw_upgrade", false);
  enableControl("btn_sys_upgrade", false);
  enableControl("config_wifi_main", false);
  showProgress(0, "", false);
  runProgress_ = OverallProgress();
  partEnd_ = 50;
  const int taskId = system ? kTaskSystemUpgrader : kTaskFirmwareUpgrader;
  if (system) scheduler.setTaskParam(taskId, "sn", serial);
  if (!system) scheduler.setTaskParam(taskId, FirmwareUpgrader::kParamForce, force ? "1" : "0");
  const DeviceInfo& device = deviceView_.record();
  run_ = std::make_unique<RecordedRun>(serial, system ? runwhat::kSystem : runwhat::kFirmware,
                                       system ? systemVersionText(device.system)
                                              : firmwareVersionsText(device, false, force),
                                       place);
  runIsSystem_ = system;
  runForced_ = force;
  runFailedStep_.clear();
  runFailure_.clear();
  readBackRow_ = 0;
  readBackSerial_ = serial;
  const int rc = scheduler.runTask(taskId);
  if (rc == 0) return;
  recordEnd(RunResult::Failed, "", "the upgrade task did not start (" + std::to_string(rc) + ")");
  upgradeLock_.reset();
  renderCard();
  services_->messageBox(
      (system ? "start system upgrade task failed!" : "start firemware upgrade task failed!") + std::to_string(rc),
      "option");
}

bool DlgUpg::confirmNotOffered(bool system, bool& force) {
  const DeviceInfo& device = deviceView_.record();
  const OfferSummary summary = offerSummary(system ? systemPlan(device) : firmwarePlan(device));
  if (summary.offered) return true;
  // The user may know better (a device left in its boot loader), but must say so.
  force = services_->askYesNo(notOfferedQuestion(summary), "option", UiServices::Answer::No) ==
          UiServices::Answer::Yes;
  return force;
}

void DlgUpg::onFirmwareProgress(int part, int step) {
  const FirmwareStepView view = firmwareStepView(part, step);
  partEnd_ = part == FirmwareUpgrader::kPartJ2534 ? 100 : 50;
  stepText_ = view.text;
  const int percent = runProgress_.step(view.percent, view.state == ProgressState::Failed);
  showProgress(percent, view.text, true, statusName(view.state));
  if (view.state == ProgressState::Failed && runFailure_.empty()) {
    runFailedStep_ = std::string(firmwarePartName(part)) + "/" + firmwareStepName(step);
    runFailure_ = view.text;
  }
  if (view.ended) {
    recordEnd(runFailure_.empty() && view.state != ProgressState::Failed ? RunResult::Succeeded : RunResult::Failed,
              runFailedStep_, runFailure_.empty() && view.state == ProgressState::Failed ? view.text : runFailure_);
    upgradeEnded();
  }
}

void DlgUpg::onSystemProgress(int stage, int subState, int value) {
  const SystemStageView view = systemStageView(stage, subState, value);
  if (view.shown) {
    const int percent = runProgress_.step(view.percent, view.state == ProgressState::Failed);
    showProgress(percent, view.text, view.withPercent, statusName(view.state));
  }
  if (view.asksForPackage) choosePackage();
  // Where it stopped: the last stage reached before the end, or the first that failed.
  if (runFailure_.empty() && stage != SystemUpgrader::kEnd) runFailedStep_ = systemStageName(stage);
  if (view.state == ProgressState::Failed && runFailure_.empty()) runFailure_ = view.text;
  if (view.ended) {
    const bool done = stage == SystemUpgrader::kEnd && subState == SystemUpgrader::kDone;
    recordEnd(done ? RunResult::Succeeded : RunResult::Failed, done ? "" : runFailedStep_,
              done ? "" : runFailure_.empty() ? view.text : runFailure_);
    upgradeLock_.reset();
    resultShown_ = true;
    // The task waited for the device to come back: read what it now runs.
    resetDeviceView();
  }
}

void DlgUpg::onTransferProgress(uint64_t done, uint64_t total) {
  if (!upgradeLock_ || total == 0 || done > total) return;
  // A full bar is the run's success, not its last chunk acknowledged.
  showProgress(runProgress_.transfer(done, total, partEnd_ - 1), stepText_, true);
}

void DlgUpg::upgradeEnded() {
  upgradeLock_.reset();
  resultShown_ = true;
  // The card's versions are from before the upgrade: read what the device
  // runs now, once it has restarted.
  deviceView_.startRead();
  renderCard();
  arrivalTimer_.start(platform::scaled(kRestartSettle));
}

void DlgUpg::recordEnd(RunResult result, const std::string& step, const std::string& message) {
  if (!run_) return;
  const DeviceInfo& device = deviceView_.record();
  std::string after = runIsSystem_ ? systemVersionText(device.system) : firmwareVersionsText(device, false, false);
  if (result == RunResult::Succeeded) {
    after = runIsSystem_ ? device.system.latestVersion : firmwareVersionsText(device, true, runForced_);
  }
  run_->finish(result, after, step, message);
  // The window reads the device after every upgrade: that read says what it now runs.
  readBackRow_ = run_->id();
  run_.reset();
  showLastUpgrade();
}

void DlgUpg::choosePackage() {
  std::string path = "nofile";
  if (services_->askYesNo("No upgrade package is available online. Please contact guest services to obtain it for "
                          "offline upgrade.Click 'Yes' if you have the package, or 'No' to cancel the upgrade.",
                          "Confirmation", UiServices::Answer::Yes) == UiServices::Answer::Yes) {
    std::string chosen = services_->openFile("select pkg file", {"*.*", "*.zip"});
    if (!chosen.empty()) path = chosen;
  }
  ScheduleManager::getInstance().setTaskParam(kTaskSystemUpgrader, "pkgPath", path);
}
