#include "scanner/BlueToothScanner.h"

#include <cstdio>

#include "platform/BluetoothInquiry.h"
#include "utils/LogFacade.h"

namespace {

// 4 x 1.28 s: long enough for a device in range to answer.
constexpr int kInquiryUnits = 4;

}  // namespace

int32_t BlueToothScanner::ScanJ2534Device(J2534DeviceList& list) {
  std::vector<platform::BluetoothDeviceFound> found;
  auto inquiry = platform::bluetoothInquiry();
  int rc = inquiry->inquire(found, kInquiryUnits);
  if (rc != 0) LOG_WARN("bluetooth inquiry failed: %s", logfacade::escapeForLog(inquiry->lastError()).c_str());
  if (rc != 0 || found.empty()) {
    LOG_INFO("find first device error");
    return -1;
  }
  for (const platform::BluetoothDeviceFound& device : found) {
    LOG_INFO("find deviceInfo.name :%s", logfacade::escapeForLog(device.name).c_str());
    J2534Device record;
    record.name = device.name;
    record.addr = static_cast<uint32_t>(device.address);
    record.addrEx = static_cast<uint32_t>(device.address >> 32);
    record.connectType = static_cast<uint32_t>(ConnectType::Bluetooth);
    list.push_back(record);
  }
  std::puts("finish scan blue");
  std::fflush(stdout);
  LOG_INFO("finish scan blue");
  return 0;
}
