#include "viewmodel/UpgradePlan.h"

#include "app/DeviceModel.h"
#include "task/FirmwareUpgrader.h"

VersionVerdict PartPlan::verdict() const {
  return part < 0 ? judgeSystem(*slot) : judgeVersion(slot->version, slot->latestVersion);
}

std::vector<PartPlan> firmwarePlan(const DeviceInfo& device) {
  const bool mainSkipped = skipsMainFirmware(classifyModel(device.serialNumber));
  return {{"firmware", FirmwareUpgrader::kPartDownload, &device.firmware, mainSkipped},
          {"J2534 firmware", FirmwareUpgrader::kPartJ2534, &device.j2534Firmware, false}};
}

std::vector<PartPlan> systemPlan(const DeviceInfo& device) {
  return {{"system", -1, &device.system, !hasSystemUnit(classifyModel(device.serialNumber))}};
}

OfferSummary offerSummary(const std::vector<PartPlan>& plan) {
  OfferSummary summary;
  for (const PartPlan& part : plan) {
    if (part.skipped) continue;
    summary.offered = summary.offered || part.sent(false);
    summary.parts += std::string(summary.parts.empty() ? "" : ", ") + part.label + ": " + verdictText(part.verdict());
  }
  return summary;
}

std::string notOfferedQuestion(const OfferSummary& summary) {
  return "Nothing newer is offered for this device (" + summary.parts +
         "). Upgrade it anyway with what is offered online?";
}
