#include "viewmodel/FirmwareProgressView.h"

#include "task/FirmwareUpgrader.h"

using Upgrader = FirmwareUpgrader;

namespace {

constexpr int kJ2534Base = 50;

FirmwareStepView runningView(int part, int step) {
  if (part == Upgrader::kPartTask && step == Upgrader::kStepFailed) {
    return {"no connection to the device", 0, ProgressState::Failed};
  }
  const std::string prefix = part == Upgrader::kPartDownload ? "upgrade download"
                             : part == Upgrader::kPartJ2534  ? "upgrade J2534"
                                                             : "";
  const int base = part == Upgrader::kPartJ2534 ? kJ2534Base : 0;
  switch (step) {
    case Upgrader::kStepPrepare: return {prefix + ": start prepare", base + 10};
    case Upgrader::kStepTransfer: return {prefix + ": prepare Ok, start burn firmware", base + 30};
    case Upgrader::kStepPrepareFailed: return {prefix + ": prepare err,  please retry", 0, ProgressState::Failed};
    case Upgrader::kStepDone:
      return base < kJ2534Base ? FirmwareStepView{prefix + ": upgrade ok! start upgrade J2534", base + 50}
                               : FirmwareStepView{"Success! Please restart and reinsert the product.", 100};
    case Upgrader::kStepFailed:
      return {prefix + ": burn firmware failed, please retry", 0, ProgressState::Failed};
    // The version rule kept the part back; the run goes on or ends as after an upgraded part.
    case Upgrader::kStepSkipped: return {prefix + ": not sent", base + 50};
    default: return {prefix, base + 10};
  }
}

}  // namespace

FirmwareStepView firmwareStepView(int part, int step) {
  FirmwareStepView view = runningView(part, step);
  if (view.percent >= 100) view.state = ProgressState::Succeeded;
  view.ended = view.state != ProgressState::Running ||
               (part == Upgrader::kPartJ2534 && (step == Upgrader::kStepDone || step == Upgrader::kStepSkipped));
  return view;
}

const char* firmwarePartName(int part) {
  return part == Upgrader::kPartDownload ? "firmware" : part == Upgrader::kPartJ2534 ? "j2534Firmware" : "task";
}

const char* firmwareStepName(int step) {
  switch (step) {
    case Upgrader::kStepPrepare: return "prepare";
    case Upgrader::kStepTransfer: return "transfer";
    case Upgrader::kStepPrepareFailed: return "prepare-failed";
    case Upgrader::kStepDone: return "done";
    case Upgrader::kStepFailed: return "failed";
    case Upgrader::kStepSkipped: return "not-sent";
    default: return "other";
  }
}
