#pragma once
#include <string>

#include "app/DeviceInfo.h"
#include "firmware/CFirmwareUpDateUtils.h"
#include "schedule/Task.h"

// The firmware upgrade task (task 3 on worker 0): upgrades the main firmware
// (part 0; skipped on model-4 devices) and then the J2534 firmware (part 1) of
// the device that the last device read found, and reports each step as
// UM_FIRMWARE_PROGRESS (part, step). A part ends with step 6 (preparation
// failed), 7 (upgraded), 8 (transfer failed) or 9 (not sent: the version rule
// does not offer it and the parameter "force" is not "1"); part 2 step 8
// alone means that no connection was made.
class FirmwareUpgrader : public Task {
 public:
  enum Part : int { kPartDownload = 0, kPartJ2534 = 1, kPartTask = 2 };
  enum Step : int { kStepPrepare = 0, kStepTransfer = 5, kStepPrepareFailed = 6, kStepDone = 7, kStepFailed = 8,
                     kStepSkipped = 9 };
  static constexpr char kParamForce[] = "force";

  FirmwareUpgrader() = default;
  ~FirmwareUpgrader() override = default;

  void run() override;
  // 0, or the failing result of the part.
  int upgradeDownload(const std::string& serialNumber, const SoftwareSlot& firmware);
  int upgradeJ2534(const std::string& serialNumber, const SoftwareSlot& j2534Firmware);

 private:
  struct PartTexts;
  int upgradePart(const PartTexts& part, const std::string& serialNumber, const SoftwareSlot& slot);

  CFirmwareUpDateUtils utils_;  // used by the run's thread only
  bool force_ = false;  // run's thread only
  std::string downloadRoot_;  // this run's download folder; run's thread only
  bool deviceConfirmed_ = false;  // this run's device told its serial number; run's thread only
};
