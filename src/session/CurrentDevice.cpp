#include "session/CurrentDevice.h"

#include "platform/UsbDevices.h"
#include "session/SerialProbe.h"
#include "utils/Settings.h"

CurrentDevice& CurrentDevice::getInstance() {
  static CurrentDevice* instance = new CurrentDevice();
  return *instance;
}

std::string CurrentDevice::configSerialPort() const {
  std::lock_guard<std::mutex> guard(lock_);
  return configSerialPort_;
}

void CurrentDevice::setConfigSerialPort(const std::string& port) {
  std::lock_guard<std::mutex> guard(lock_);
  configSerialPort_ = port;
}

bool CurrentDevice::findBootPort() {
  const std::optional<PinnedDevice> bound = pinned();
  for (const platform::UsbDevice& device : platform::usbDevices()->presentDevices()) {
    if (!platform::hasIds(device, platform::kBootLoaderUsbIds) || device.ttyNode.empty()) continue;
    if (bound) {
      {
        std::lock_guard<std::mutex> guard(lock_);
        // Its own port, or the one its boot loader answered on before: this
        // run may hold it open, so it is not probed again.
        if (device.ttyNode == pinnedBootPort_ || device.ttyNode == bound->port) {
          configSerialPort_ = device.ttyNode;
          return true;
        }
      }
      // A port another run holds is busy and answers nothing here.
      if (serialprobe::probeSerialNumber(device.ttyNode) != bound->serialNumber) continue;
      std::lock_guard<std::mutex> guard(lock_);
      pinnedBootPort_ = configSerialPort_ = device.ttyNode;
      return true;
    }
    // Probed as discovery probes it, which also wakes a boot loader that
    // waits for a first request.
    serialprobe::probeSerialNumber(device.ttyNode);
    setConfigSerialPort(device.ttyNode);
    return true;
  }
  return false;
}

void CurrentDevice::pin(const PinnedDevice& device) {
  std::lock_guard<std::mutex> guard(lock_);
  pinned_ = device;
  pinnedBootPort_.clear();
}

std::optional<PinnedDevice> CurrentDevice::pinned() const {
  std::lock_guard<std::mutex> guard(lock_);
  return pinned_;
}

bool CurrentDevice::isQtrakBrand() const { return ::isQtrakBrand(); }
