#include "session/CurrentDevice.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "connection/ConnectionFactory.h"
#include "platform/Clock.h"
#include "platform/SerialPort.h"
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
  if (const std::optional<PinnedDevice> bound = pinned()) return findPinnedPort(*bound, true);
  for (const platform::UsbDevice& device : platform::usbDevices()->presentDevices()) {
    if (!platform::hasIds(device, platform::kBootLoaderUsbIds) || device.ttyNode.empty()) continue;
    // Probed as discovery probes it, which also wakes a boot loader that
    // waits for a first request.
    serialprobe::probeSerialNumber(device.ttyNode);
    setConfigSerialPort(device.ttyNode);
    return true;
  }
  return false;
}

bool CurrentDevice::findPinnedPort() {
  const std::optional<PinnedDevice> bound = pinned();
  return bound && findPinnedPort(*bound, false);
}

bool CurrentDevice::findPinnedPort(const PinnedDevice& bound, bool bootOnly) {
  // Another run asking every port who it is holds each a moment: a busy port
  // is asked again a little later.
  constexpr int kRounds = 20;
  constexpr auto kBusyWait = std::chrono::milliseconds(100);
  for (int round = 0; round < kRounds; ++round) {
    std::vector<platform::UsbDevice> present = platform::usbDevices()->presentDevices();
    // The port it was found on first: most often it is still there.
    std::stable_partition(present.begin(), present.end(),
                          [&](const platform::UsbDevice& d) { return d.ttyNode == bound.port; });
    std::vector<std::string> silent;
    bool busy = false;
    for (const platform::UsbDevice& device : present) {
      const bool boot = platform::hasIds(device, platform::kBootLoaderUsbIds);
      const bool known = std::any_of(platform::kSerialScanUsbIds.begin(), platform::kSerialScanUsbIds.end(),
                                     [&](const platform::UsbIds& ids) { return platform::hasIds(device, ids); });
      if (device.ttyNode.empty() || !known || (bootOnly && !boot)) continue;
      // Only a port this run holds open is taken on trust: a restart gives the
      // device another tty, and its old number soon names another device.
      if (platform::SerialPort::openHere(device.ttyNode)) {
        setConfigSerialPort(device.ttyNode);
        return true;
      }
      bool opened = false;
      const std::string serial = serialprobe::probeSerialNumber(device.ttyNode, &opened);
      if (serial == bound.serialNumber) {
        setConfigSerialPort(device.ttyNode);
        return true;
      }
      busy = busy || !opened;
      if (boot && opened && serial.empty()) silent.push_back(device.ttyNode);
    }
    // A boot loader need not answer: one that keeps silent can only be ours
    // when no other could be.
    if (!busy && silent.size() == 1) {
      setConfigSerialPort(silent.front());
      return true;
    }
    if (!busy) return false;
    platform::sleepFor(kBusyWait);
  }
  return false;
}

void CurrentDevice::pin(const PinnedDevice& device) {
  std::lock_guard<std::mutex> guard(lock_);
  pinned_ = device;
}

std::optional<PinnedDevice> CurrentDevice::pinned() const {
  std::lock_guard<std::mutex> guard(lock_);
  return pinned_;
}

bool CurrentDevice::pinnedToSerialPort() const {
  std::lock_guard<std::mutex> guard(lock_);
  return pinned_ && pinned_->type == static_cast<int>(ConnectType::Serial);
}

bool CurrentDevice::isQtrakBrand() const { return ::isQtrakBrand(); }
