#include "app/DeviceClaim.h"

#include <cstdint>

#include "connection/ConnectionFactory.h"
#include "platform/DeviceEndpoints.h"
#include "platform/Ipv4Text.h"
#include "session/CurrentDevice.h"
#include "session/SessionSelection.h"
#include "utils/RunFolder.h"
#include "utils/Settings.h"

std::string defaultSessionPlace() {
  const platform::DeviceEndpoints& endpoints = platform::deviceEndpoints();
  const std::string port = ":" + std::to_string(endpoints.devicePort);
  if (const auto bound = CurrentDevice::getInstance().pinned()) {
    switch (static_cast<ConnectType>(bound->type)) {
      case ConnectType::Serial: return "serial " + bound->port;
      case ConnectType::Bluetooth: return "bt " + bluetoothSessionEndpoint(bound->addrEx, bound->addr);
      default: return "tcp " + platform::ipv4Text(bound->addr) + port;
    }
  }
  if (isUsbDevicePresent()) {
    CurrentDevice& device = CurrentDevice::getInstance();
    if (device.findBootPort()) return "serial " + device.configSerialPort();
    return "tcp " + endpoints.deviceHost + port;
  }
  SettingsRecord settings;
  loadSettings(settings);
  if (settings.TransferType == static_cast<uint32_t>(ConnectType::Bluetooth)) {
    return "bt " + bluetoothSessionEndpoint(settings.AddrEx, settings.Addr);
  }
  return "tcp " + platform::ipv4Text(settings.Addr) + port;
}

platform::DeviceLock::Result claimDevice(const std::string& serialNumber, const std::string& what,
                                         std::unique_ptr<platform::DeviceLock>& lock, std::string& holder,
                                         std::string* place) {
  const std::string where = defaultSessionPlace();
  if (place) *place = where;
  const platform::DeviceLock::Result result = platform::DeviceLock::tryAcquire(serialNumber, what, lock, holder, where);
  // A run killed before it ended left its downloads behind; the run that
  // claims next removes them, even when it finds nothing to fetch.
  if (result == platform::DeviceLock::Result::Acquired) RunFolder::removeAbandoned();
  return result;
}

bool isDefaultDeviceClaimed(const std::string& expectedSerial, std::string& holder) {
  if (platform::DeviceLock::isClaimed(expectedSerial, defaultSessionPlace(), holder)) return true;
  // A run moves an attached device between its places (the boot switch drops it
  // from the USB list for a moment, then it answers on its boot-mode port), so
  // the place seen now may not be the one it was claimed at: the fixed address
  // and the boot-mode port claimed count as this device claimed.
  const platform::DeviceEndpoints& endpoints = platform::deviceEndpoints();
  if (platform::DeviceLock::isClaimed("", "tcp " + endpoints.deviceHost + ":" + std::to_string(endpoints.devicePort),
                                      holder)) {
    return true;
  }
  CurrentDevice& device = CurrentDevice::getInstance();
  return device.findBootPort() && platform::DeviceLock::isClaimed("", "serial " + device.configSerialPort(), holder);
}
