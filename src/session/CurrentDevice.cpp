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
  // The first boot-mode port with a tty node; it is probed as discovery
  // probes it, which also wakes a boot loader that waits for a first request.
  for (const platform::UsbDevice& device : platform::usbDevices()->presentDevices()) {
    if (!platform::hasIds(device, platform::kBootLoaderUsbIds) || device.ttyNode.empty()) continue;
    serialprobe::probeSerialNumber(device.ttyNode);
    setConfigSerialPort(device.ttyNode);
    return true;
  }
  return false;
}

bool CurrentDevice::isQtrakBrand() const { return ::isQtrakBrand(); }
