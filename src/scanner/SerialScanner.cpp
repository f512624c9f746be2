#include "scanner/SerialScanner.h"

#include <algorithm>

#include "platform/UsbDevices.h"
#include "session/SerialProbe.h"

SerialScanner::~SerialScanner() = default;

int32_t SerialScanner::ScanJ2534Device(J2534DeviceList& list) {
  scanPairs(platform::kSerialScanUsbIds, list);
  return 0;
}

void SerialScanner::ScanByVidPid(J2534DeviceList& list, uint32_t vendorId, uint32_t productId) {
  const platform::UsbIds pair{static_cast<uint16_t>(vendorId), static_cast<uint16_t>(productId)};
  if (pair.vendorId == vendorId && pair.productId == productId) scanPairs({&pair, 1}, list);
}

void SerialScanner::scanPairs(std::span<const platform::UsbIds> pairs, J2534DeviceList& list) {
  const std::vector<UsbDeviceInfo> devices = listUsbDevices();
  for (const UsbDeviceInfo& device : devices) {
    for (const platform::UsbIds& ids : pairs) {
      if (device.vendorId == ids.vendorId && device.productId == ids.productId) {
        findComPorts(devices, ids.vendorId, ids.productId, list);
      }
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
    record.connectType = static_cast<uint32_t>(ConnectType::Serial);
    probePort(record);
    list.push_back(record);
  }
}

void SerialScanner::probePort(J2534Device& record) { record.name = serialprobe::probeSerialNumber(record.port); }
