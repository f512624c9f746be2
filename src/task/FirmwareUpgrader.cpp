#include "task/FirmwareUpgrader.h"

#include <cerrno>
#include <chrono>

#include "app/AppState.h"
#include "app/DeviceModel.h"
#include "app/VersionRule.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "session/CurrentDevice.h"
#include "session/SessionApi.h"
#include "utils/LogFacade.h"
#include "utils/RunFolder.h"

namespace {

using namespace std::chrono_literals;

// A device found on its boot-mode serial port has just restarted: give it
// time before the J2534 part opens a new session.
constexpr auto kBootPortSettle = 4000ms;

}  // namespace

void FirmwareUpgrader::report(Part part, Step step) {
  AppState::getInstance().firmwareProgress(static_cast<int>(part), static_cast<int>(step));
}

struct FirmwareUpgrader::PartTexts {
  Part part;
  const char* softType;
  std::chrono::milliseconds successPause;
  void (*logPrepareFailed)(int rc);
  void (*logSuccess)(int rc);
  void (*logFailed)(int rc);
};

void FirmwareUpgrader::run() {
  const DeviceInfo info = AppState::getInstance().deviceInfo();
  force_ = getParam(kParamForce) == "1";
  if (utils_.connectDefaultSession() != 0) {
    LOG_WARN("create connect err");
    report(Part::kTask, Step::kFailed);
    return;
  }
  const DeviceModel model = classifyModel(info.serialNumber);
  utils_.productType = model;
  deviceConfirmed_ = false;
  // This run's packages, gone when it ends however it ends.
  RunFolder downloads("firmware-");
  downloadRoot_ = downloads.path();
  if (downloadRoot_.empty()) {
    LOG_WARN("cannot make a download folder under %s, errCode : %d", platform::updateDir().c_str(), errno);
    report(Part::kTask, Step::kFailed);
    return;
  }
  if (!skipsMainFirmware(model) && upgradeDownload(info.serialNumber, info.firmware) != 0) return;
  if (CurrentDevice::getInstance().findBootPort()) {
    closeAllSessions();
    platform::sleepFor(kBootPortSettle);
    // A failure here shows in the J2534 part.
    utils_.connectDefaultSession();
  }
  if (upgradeJ2534(info.serialNumber, info.j2534Firmware) == 0) utils_.closeSession();
}

int FirmwareUpgrader::upgradeDownload(const std::string& serialNumber, const SoftwareSlot& firmware) {
  // The device settles after the main firmware before the J2534 part.
  static const PartTexts texts{
      Part::kDownload, "1", 2000ms,
      [](int rc) { LOG_WARN("prepare downLoadfirmware failed rlt : %d", rc); },
      [](int rc) { LOG_INFO("DownloadFirmware upgrade success, rlt : %d", rc); },
      [](int rc) { LOG_WARN("DownloadFirmware upgrade failed, rlt : %d", rc); }};
  return upgradePart(texts, serialNumber, firmware);
}

int FirmwareUpgrader::upgradeJ2534(const std::string& serialNumber, const SoftwareSlot& j2534Firmware) {
  static const PartTexts texts{
      Part::kJ2534, "3", 1000ms,
      [](int rc) { LOG_WARN("prepare j2534firmware failed rlt : %d", rc); },
      [](int) { LOG_INFO("j2534firmware upgrade success, rlt"); },
      [](int rc) { LOG_WARN("j2534firmware upgrade failed, rlt : %d", rc); }};
  return upgradePart(texts, serialNumber, j2534Firmware);
}

int FirmwareUpgrader::upgradePart(const PartTexts& part, const std::string& serialNumber, const SoftwareSlot& slot) {
  // What the front ends showed as up to date, newer or unknown is never sent unasked.
  const VersionVerdict verdict = judgeVersion(slot.version, slot.latestVersion);
  if (!isOffered(verdict, force_)) {
    LOG_INFO("firmware type %s not sent: %s (device %s, online %s)", part.softType, verdictText(verdict),
             logfacade::escapeForLog(slot.version).c_str(), logfacade::escapeForLog(slot.latestVersion).c_str());
    report(part.part, Step::kSkipped);
    return 0;
  }
  report(part.part, Step::kPrepare);
  // The serial number and links come from the last read, minutes ago maybe:
  // before anything enters the boot loader, the device must be that one. Once
  // it answered, a boot loader that stays silent after a restart is accepted.
  utils_.serialNumber = serialNumber;
  if (!utils_.verifyDevice(deviceConfirmed_)) {
    part.logPrepareFailed(-1);
    report(part.part, Step::kPrepareFailed);
    return -1;
  }
  deviceConfirmed_ = true;
  const std::string imagePath = CFirmwareUpDateUtils::imageFilePath(part.softType, downloadRoot_);
  int rc = isAlphanumericSerial(serialNumber)
               ? utils_.AlphaFirmwareUpgradePrepare(serialNumber, part.softType, imagePath)
               : utils_.DigitFirmwareUpgradePrepare(slot.downloadLink,
                                                    CFirmwareUpDateUtils::packageFilePath(part.softType, downloadRoot_));
  if (rc != 0) {
    part.logPrepareFailed(rc);
    report(part.part, Step::kPrepareFailed);
    return rc;
  }
  report(part.part, Step::kTransfer);
  rc = utils_.upgradeFirmware(serialNumber, part.softType, imagePath) ? 0 : -1;
  if (rc == 0) {
    platform::sleepFor(part.successPause);
    part.logSuccess(rc);
    report(part.part, Step::kDone);
    return 0;
  }
  part.logFailed(rc);
  report(part.part, Step::kFailed);
  return -1;
}
