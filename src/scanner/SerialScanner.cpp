#include "scanner/SerialScanner.h"

#include <algorithm>
#include <array>

#include "platform/UsbDevices.h"
#include "session/SerialProbe.h"

namespace {

struct IdPair {
  uint32_t vendorId;
  uint32_t productId;
};

// The USB serial functions of the device, in the order a scan tests them.
constexpr std::array<IdPair, 3> kKnownIds = {{{0x1A86, 0x55DA}, {0x0525, 0xA4A7}, {0x0000, 0x0002}}};

}  // namespace

SerialScanner::~SerialScanner() = default;

int32_t SerialScanner::ScanJ2534Device(J2534DeviceList& list) {
  const std::vector<UsbDeviceInfo> devices = listUsbDevices();
  for (const UsbDeviceInfo& device : devices) {
    for (const IdPair& ids : kKnownIds) {
      if (device.vendorId == ids.vendorId && device.productId == ids.productId) {
        findComPorts(devices, ids.vendorId, ids.productId, list);
      }
    }
  }
  return 0;
}

void SerialScanner::ScanByVidPid(J2534DeviceList& list, uint32_t vendorId, uint32_t productId) {
  const std::vector<UsbDeviceInfo> devices = listUsbDevices();
  for (const UsbDeviceInfo& device : devices) {
    if (device.vendorId == vendorId && device.productId == productId) {
      findComPorts(devices, vendorId, productId, list);
    }
  }
}

std::vector<SerialScanner::UsbDeviceInfo> SerialScanner::listUsbDevices() {
  std::vector<UsbDeviceInfo> out;
  for (const platform::UsbDevice& device : platform::usbDevices()->presentDevices()) {
    if (device.ttyNode.empty()) continue;
    out.push_back({device.vendorId, device.productId, device.ttyNode});
  }
  return out;
}

void SerialScanner::findComPorts(const std::vector<UsbDeviceInfo>& devices, uint32_t vendorId, uint32_t productId,
                                 J2534DeviceList& list) {
  for (const UsbDeviceInfo& device : devices) {
    if (device.vendorId != vendorId || device.productId != productId) continue;
    bool listed = std::any_of(list.begin(), list.end(), [&](const J2534Device& d) { return d.port == device.ttyNode; });
    if (listed) continue;
    J2534Device record;
    record.port = device.ttyNode;
    record.connectType = 0;
    probePort(record);
    list.push_back(record);
  }
}

void SerialScanner::probePort(J2534Device& record) { record.name = serialprobe::probeSerialNumber(record.port); }
