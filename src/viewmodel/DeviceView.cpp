#include "viewmodel/DeviceView.h"

#include <string_view>

#include "app/DeviceModel.h"
#include "app/VersionRule.h"
#include "task/DevInfoReader.h"

namespace {

// The registration whose devices show only their J2534 image, with a V.
constexpr std::string_view kSingleImageRegistration = "ZELQ7";

std::string firmwareText(const std::string& download, const std::string& j2534, const std::string& registration) {
  if (registration == kSingleImageRegistration) return j2534.empty() ? "N/A" : "V" + j2534;
  std::string text = download.empty() ? std::string() : download + "_";
  return text + (j2534.empty() ? std::string("N/A") : j2534);
}

}  // namespace

void DeviceView::clear() {
  stage_ = reached_ = Stage::Empty;
  record_ = DeviceInfo();
}

void DeviceView::startRead() { stage_ = Stage::Reading; }

void DeviceView::apply(const DeviceInfo& record, int phase, const Library& library, bool bootPort) {
  switch (phase) {
    case DevInfoReader::kDeviceRead:
      stage_ = Stage::DeviceRead;
      library_ = library;
      if (library_.registration == kSingleImageRegistration && !library_.version.empty()) {
        library_.version = "V" + library_.version;
      }
      bootPort_ = bootPort;
      break;
    case DevInfoReader::kOnlineRead: stage_ = Stage::OnlineRead; break;
    case DevInfoReader::kFinished: stage_ = Stage::Finished; break;
    default: deviceGone(); return;
  }
  reached_ = stage_;
  record_ = record;
  record_.dllVersion = library_.version;
}

void DeviceView::deviceGone() {
  // A device read before stays on the card as it was last seen.
  stage_ = record_.serialNumber.empty() ? Stage::NoDevice : Stage::Gone;
}

DeviceCard DeviceView::card() const {
  DeviceCard card;
  if (stage_ == Stage::Empty) return card;
  card.pictureShown = true;
  if (stage_ == Stage::NoDevice) {
    card.picture = traitsOf(DeviceModel::Unsupported).picture;
    card.note = CardNote::NoDevice;
    return card;
  }
  card.picture = modelPicture(record_.serialNumber);
  if (reached_ == Stage::Empty) return card;

  const DeviceInfo& r = record_;
  const DeviceModel model = classifyModel(r.serialNumber);
  card.serialNumber = r.serialNumber;
  card.modelKnown = true;
  card.wifiSetupShown = isQtrakModel(model) || bootPort_;
  card.libraryCurrent = r.dllVersion;
  card.libraryMissing = r.dllVersion.empty();
  card.firmwareCurrent = firmwareText(r.firmware.version, r.j2534Firmware.version, library_.registration);
  // A model without a system unit shows no system, whatever the web services say.
  const bool system = hasSystemUnit(model);
  if (system) card.systemCurrent = r.system.version;
  // System values never stand without their caption.
  card.systemSectionShown =
      (!isQtrakModel(model) && model != DeviceModel::Unsupported) || !card.systemCurrent.empty();
  if (reached_ != Stage::DeviceRead) {
    card.libraryLatest = r.dllVersion;
    card.firmwareLatest = firmwareText(withoutLeadingV(r.firmware.latestVersion),
                                       withoutLeadingV(r.j2534Firmware.latestVersion), library_.registration);
    if (system) card.systemLatest = r.system.latestVersion;
  }
  // Values of an earlier read offer nothing: the device may not be the one they describe.
  if (stage_ != reached_) {
    card.stale = true;
    if (stage_ == Stage::Gone) card.note = CardNote::Gone;
    return card;
  }
  if (bootPort_) card.note = CardNote::BootLoader;
  if (stage_ != Stage::Finished) return card;

  card.wifiEnabled = !r.serialNumber.empty();
  // A device left in its boot loader is brought back by a firmware upgrade.
  card.firmwareEnabled = bootPort_ || !r.firmware.latestVersion.empty() || !r.j2534Firmware.latestVersion.empty();
  card.systemEnabled = system && !r.system.latestVersion.empty();
  // Dotted versions compare number by number: 2.10 is newer than 2.9.
  card.updateBadge = isNewerVersion(r.firmware.latestVersion, r.firmware.version) ||
                     isNewerVersion(r.j2534Firmware.latestVersion, r.j2534Firmware.version);
  card.firmwarePrimary = card.updateBadge;
  card.systemPrimary = card.systemEnabled && isNewerVersion(r.system.latestVersion, r.system.version);
  return card;
}

std::string connectedLinkName(bool usbPresent, bool bootPort, uint32_t transferType) {
  if (usbPresent) return bootPort ? "Serial" : "USB";
  if (transferType >= 1 && transferType <= 3) return "WiFi";
  if (transferType == 4) return "BT";
  return "";
}

const char* modelPicture(const std::string& serialNumber) {
  return serialNumber.empty() ? "" : traitsOf(classifyModel(serialNumber)).picture;
}
