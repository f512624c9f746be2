#include "session/SessionSelection.h"

#include <arpa/inet.h>

#include <cstdio>

#include "connection/ConnectionFactory.h"
#include "platform/DeviceEndpoints.h"
#include "platform/UsbDevices.h"
#include "session/CurrentDevice.h"
#include "session/SessionApi.h"
#include "utils/LogFacade.h"
#include "utils/Settings.h"

namespace {

constexpr int kStream = 0;  // the datagram flag of a TCP session

// The fixed device address in the stored form (lowest byte = first number).
bool fixedDeviceAddr(uint32_t& addr) {
  const std::string& host = platform::deviceEndpoints().deviceHost;
  in_addr parsed{};
  if (inet_pton(AF_INET, host.c_str(), &parsed) != 1) {
    LOG_WARN("device address %s is not an IPv4 address", logfacade::escapeForLog(host).c_str());
    return false;
  }
  const auto* b = reinterpret_cast<const uint8_t*>(&parsed.s_addr);
  addr = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
         static_cast<uint32_t>(b[3]) << 24;
  return true;
}

int fixedAddressSession(uint16_t port) {
  uint32_t addr = 0;
  if (!fixedDeviceAddr(addr)) return -1;
  return createNetworkSession(addr, port, kStream);
}

int storedAddressSession(const SettingsRecord& settings) {
  return createNetworkSession(settings.Addr, platform::deviceEndpoints().devicePort, kStream);
}

int storedBluetoothSession(const SettingsRecord& settings) {
  return createBluetoothSession(bluetoothSessionEndpoint(settings.AddrEx, settings.Addr));
}

// A run bound to one device talks to it where it was found, and to a boot
// loader only when it answered with that device's serial number.
int pinnedSession(const PinnedDevice& device, uint16_t tcpPort) {
  switch (static_cast<ConnectType>(device.type)) {
    case ConnectType::Serial: {
      CurrentDevice& current = CurrentDevice::getInstance();
      // Its boot loader first: the port it left may still be listed a moment.
      const bool found = current.findBootPort() || current.findPinnedPort();
      return found ? createSerialSession(current.configSerialPort()) : -1;
    }
    case ConnectType::Lan:
    case ConnectType::Wifi:
      return createNetworkSession(device.addr, tcpPort, kStream);
    case ConnectType::Bluetooth:
      return createBluetoothSession(bluetoothSessionEndpoint(device.addrEx, device.addr));
    default:
      return -1;
  }
}

}  // namespace

std::string bluetoothSessionEndpoint(uint32_t addrEx, uint32_t addr) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx",
                static_cast<unsigned long long>(static_cast<uint64_t>(addrEx) << 32 | addr));
  return text;
}

int createSessionByType(int type) {
  switch (static_cast<ConnectType>(type)) {
    case ConnectType::Serial:
      return createSerialSession(CurrentDevice::getInstance().configSerialPort());
    case ConnectType::Lan:
      return fixedAddressSession(platform::deviceEndpoints().devicePort);
    case ConnectType::Wifi: {
      SettingsRecord settings;
      loadSettings(settings);
      return storedAddressSession(settings);
    }
    case ConnectType::Bluetooth: {
      SettingsRecord settings;
      loadSettings(settings);
      return storedBluetoothSession(settings);
    }
    default:
      return -1;
  }
}

int createDefaultSession() {
  if (const auto bound = CurrentDevice::getInstance().pinned()) {
    return pinnedSession(*bound, platform::deviceEndpoints().devicePort);
  }
  if (isUsbDevicePresent()) {
    CurrentDevice& device = CurrentDevice::getInstance();
    if (device.findBootPort()) return createSerialSession(device.configSerialPort());
    return fixedAddressSession(platform::deviceEndpoints().devicePort);
  }
  SettingsRecord settings;
  loadSettings(settings);
  if (settings.TransferType == static_cast<uint32_t>(ConnectType::Bluetooth)) return storedBluetoothSession(settings);
  return storedAddressSession(settings);
}

int createConfigSession() {
  CurrentDevice& device = CurrentDevice::getInstance();
  if (const auto bound = device.pinned()) return pinnedSession(*bound, platform::deviceEndpoints().configPort);
  if (device.findBootPort()) return createSerialSession(device.configSerialPort());
  return fixedAddressSession(platform::deviceEndpoints().configPort);
}

bool isUsbDevicePresent() {
  const std::vector<platform::UsbDevice> present = platform::usbDevices()->presentDevices();
  for (const platform::UsbDevice& device : present) {
    if (platform::isDeviceUsbId(device)) return true;
  }
  return false;
}
