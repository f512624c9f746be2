#pragma once
#include <string>

// The stages of a system upgrade run, as UM_SYSTEM_PROGRESS carries them.
enum class SystemStage : int { kPrepare = 1, kDownload = 2, kChoose = 3, kTransfer = 4, kInstall = 5, kEnd = 6 };

// Step results, also the sub-state of a report.
enum class SystemResult : int {
  kDone = 0,
  kGiveUp = 1,
  kRetry = 2,
  kNoPackage = 3,
  kRejected = 4,
  // Install only: the device has not come back yet; the value is a
  // SystemReturnWait (encodeReturnWait).
  kWaiting = 5,
  // Never reported: the step was answered and failed, so the run ends at
  // once whatever the stage; repeating it could do harm (a second install).
  kFailed = -1,
};

// How long the device has been awaited after the install, and at most.
struct SystemReturnWait {
  int waitedSeconds = 0;
  int limitSeconds = 0;
};
int encodeReturnWait(SystemReturnWait wait);
SystemReturnWait decodeReturnWait(int value);
// What both front ends show for a (kInstall, kWaiting) report.
std::string returnWaitText(int value);

inline constexpr char kSystemFailurePrefix[] = "ERR_SYSTEM_UPGRADE: ";

// One UM_SYSTEM_PROGRESS report (stage, result, value).
void reportSystemStep(SystemStage stage, SystemResult result, int value);
// Logs and posts, with kSystemFailurePrefix, why the run fails.
void reportSystemFailure(const std::string& reason);
