#include "scanner/CurrentDevice.h"

#include "scanner/SerialScanner.h"
#include "utils/Settings.h"

namespace {
constexpr uint32_t kBootVendorId = 0x0000;
constexpr uint32_t kBootProductId = 0x0002;
}  // namespace

CurrentDevice& CurrentDevice::getInstance() {
  static CurrentDevice* instance = new CurrentDevice();
  return *instance;
}

std::string CurrentDevice::serialNumber() const {
  std::lock_guard<std::mutex> guard(lock_);
  return serialNumber_;
}

void CurrentDevice::setSerialNumber(const std::string& serialNumber) {
  std::lock_guard<std::mutex> guard(lock_);
  serialNumber_ = serialNumber;
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
  // A scanner of its own: this runs on whichever thread opens a session.
  SerialScanner scanner;
  J2534DeviceList found;
  scanner.ScanByVidPid(found, kBootVendorId, kBootProductId);
  if (found.empty()) return false;
  setConfigSerialPort(found.front().port);
  return true;
}

bool CurrentDevice::isQtrakBrand() const { return ::isQtrakBrand(); }
