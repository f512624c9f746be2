#include "app/RecordedRun.h"

#include <cstdint>
#include <mutex>
#include <utility>

#include "app/DeviceModel.h"
#include "connection/ConnectionFactory.h"
#include "platform/ProcessIdentity.h"
#include "platform/UsbDevices.h"
#include "session/CurrentDevice.h"
#include "session/SessionSelection.h"
#include "utils/Settings.h"

namespace {

std::mutex programLock;  // guards programName and programVersion
std::string programName = "kestrel";
std::string programVersion;

const char* linkName(int type) {
  switch (static_cast<ConnectType>(type)) {
    case ConnectType::Serial: return "serial";
    case ConnectType::Lan: return "lan";
    case ConnectType::Usb: return "usb";
    case ConnectType::Wifi: return "wifi";
    case ConnectType::Bluetooth: return "bt";
  }
  return "";
}

}  // namespace

void linkOfPlace(const std::string& place, std::string& link, std::string& address) {
  const size_t space = place.find(' ');
  address = space == std::string::npos ? place : place.substr(space + 1);
  if (const auto bound = CurrentDevice::getInstance().pinned()) {
    link = linkName(bound->type);
    // A serial port of a device on USB is named as the scan names it.
    for (const platform::UsbDevice& device : platform::usbDevices()->presentDevices()) {
      if (bound->type == static_cast<int>(ConnectType::Serial) && device.ttyNode == bound->port) link = "usb";
    }
  } else if (place.rfind("bt ", 0) == 0) {
    link = "bt";
  } else if (isUsbDevicePresent()) {
    link = "usb";
  } else if (place.rfind("serial ", 0) == 0) {
    link = "serial";
  } else {
    SettingsRecord settings;
    loadSettings(settings);
    link = linkName(static_cast<int>(settings.TransferType));
  }
}

void RecordedRun::setProgram(std::string name, std::string version) {
  std::lock_guard<std::mutex> guard(programLock);
  programName = std::move(name);
  programVersion = std::move(version);
}

RecordedRun::RecordedRun(const std::string& serialNumber, const char* what, std::string versionBefore,
                         const std::string& place) {
  row_.serialNumber = serialNumber;
  row_.model = serialNumber.empty() ? "" : std::to_string(modelNumber(classifyModel(serialNumber)));
  linkOfPlace(place, row_.link, row_.address);
  row_.what = what;
  row_.versionBefore = std::move(versionBefore);
  {
    std::lock_guard<std::mutex> guard(programLock);
    row_.program = programName;
    row_.programVersion = programVersion;
  }
  row_.user = platform::userDescription();
  history_.begin(row_);
}

RecordedRun::~RecordedRun() {
  if (!finished_) finish(RunResult::Failed, "", "", "the run ended without a result");
}

void RecordedRun::finish(RunResult result, std::string versionAfter, std::string step, std::string message) {
  finished_ = true;
  row_.result = result;
  row_.versionAfter = std::move(versionAfter);
  row_.step = std::move(step);
  row_.message = std::move(message);
  history_.finish(row_);
}
