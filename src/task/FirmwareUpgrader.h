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
  // Which part a UM_FIRMWARE_PROGRESS report is about.
  enum class Part : int { kDownload = 0, kJ2534 = 1, kTask = 2 };
  // The step of a part; 6 to 9 end it.
  enum class Step : int { kPrepare = 0, kTransfer = 5, kPrepareFailed = 6, kDone = 7, kFailed = 8, kSkipped = 9 };
  // The report numbers under their old names, for the front ends that still
  // compare plain ints; new code uses Part and Step.
  static constexpr int kPartDownload = static_cast<int>(Part::kDownload);
  static constexpr int kPartJ2534 = static_cast<int>(Part::kJ2534);
  static constexpr int kPartTask = static_cast<int>(Part::kTask);
  static constexpr int kStepPrepare = static_cast<int>(Step::kPrepare);
  static constexpr int kStepTransfer = static_cast<int>(Step::kTransfer);
  static constexpr int kStepPrepareFailed = static_cast<int>(Step::kPrepareFailed);
  static constexpr int kStepDone = static_cast<int>(Step::kDone);
  static constexpr int kStepFailed = static_cast<int>(Step::kFailed);
  static constexpr int kStepSkipped = static_cast<int>(Step::kSkipped);
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
  static void report(Part part, Step step);

  CFirmwareUpDateUtils utils_;  // used by the run's thread only
  bool force_ = false;  // run's thread only
  std::string downloadRoot_;  // this run's download folder; run's thread only
  bool deviceConfirmed_ = false;  // this run's device told its serial number; run's thread only
};
