#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "schedule/Task.h"
#include "task/SystemPackage.h"
#include "task/SystemTransfer.h"
#include "task/SystemUpgradeReport.h"

// The system upgrade task (task 4 on worker 0): finds the package offered
// online for the serial number "sn", or takes the local package "pkgPath"
// that the window asks the user for, unpacks it into a private folder, checks
// its description, makes sure the configuration session reaches the device
// that was read ("deviceSn", else "sn"), uploads its system.zip in
// acknowledged chunks, has the device install it (asked once per run) and
// waits until the device has restarted and is back. Only a device that then
// tells the same serial number and the package's system version counts as
// upgraded. Every step is reported as UM_SYSTEM_PROGRESS (stage, result,
// value); a run that does not end with (kEnd, kDone, 0) did not upgrade the
// device, and it posts why as a text with kSystemFailurePrefix.
//
// This class is the state machine; SystemPackage does the package work and
// SystemTransfer the device's.
class SystemUpgrader : public Task {
 public:
  // The report numbers under their old names, for the front ends that still
  // compare plain ints; new code uses SystemStage and SystemResult.
  static constexpr int kPrepare = static_cast<int>(SystemStage::kPrepare);
  static constexpr int kDownload = static_cast<int>(SystemStage::kDownload);
  static constexpr int kChoose = static_cast<int>(SystemStage::kChoose);
  static constexpr int kTransfer = static_cast<int>(SystemStage::kTransfer);
  static constexpr int kInstall = static_cast<int>(SystemStage::kInstall);
  static constexpr int kEnd = static_cast<int>(SystemStage::kEnd);
  static constexpr int kDone = static_cast<int>(SystemResult::kDone);
  static constexpr int kGiveUp = static_cast<int>(SystemResult::kGiveUp);
  static constexpr int kRetry = static_cast<int>(SystemResult::kRetry);
  static constexpr int kNoPackage = static_cast<int>(SystemResult::kNoPackage);
  static constexpr int kRejected = static_cast<int>(SystemResult::kRejected);
  static constexpr int kWaiting = static_cast<int>(SystemResult::kWaiting);
  static constexpr const char* kFailurePrefix = kSystemFailurePrefix;
  static std::string waitText(int value) { return returnWaitText(value); }
  static bool checkPackage(const std::string& package, std::string& version, std::string& problem) {
    return SystemPackage::checkPackage(package, version, problem);
  }

  static constexpr std::chrono::milliseconds kChoiceLimit{600'000};

  SystemUpgrader() = default;
  ~SystemUpgrader() override = default;

  void run() override;
  // Ends the run at its next check, whatever it waits for; the run then
  // reports failure.
  void stop() override;
  // Also takes a non-empty "pkgPath" as the package path and wakes the
  // package choice.
  int setParam(const std::string& key, const std::string& value) override;

  // Waits (at most kChoiceLimit, or until stopped) for the window to set a
  // package path: kDone for a file; kGiveUp for "nofile", a time-out or a stop.
  SystemResult waitBoxChoicePkg();

 private:
  SystemResult step(SystemStage stage);
  SystemResult prepare();
  SystemResult download();
  SystemResult transfer();
  void report(SystemStage stage, SystemResult result) { reportSystemStep(stage, result, 0); }
  // The clean-up every run ends with, however it ends.
  void finishRun();
  bool stopping() const { return stopRequested_.load(); }

  std::mutex waitLock_;  // guards pkgPath_
  std::condition_variable pkgPathSignal_;
  std::string pkgPath_;

  // Used by the run's thread only.
  std::string serialNumber_;
  std::string packageUrl_;
  SystemStage stage_ = SystemStage::kPrepare;

  std::atomic<int> running_{0};
  // Set by stop, cleared when a run ends (a stop that came first ends the
  // next run at once): every wait of the run, downloads included, ends on it.
  std::atomic<bool> stopRequested_{false};
  SystemPackage package_{stopRequested_};    // run's thread only
  SystemTransfer transfer_{stopRequested_};  // run's thread only
};
