#include "viewmodel/ListedDevices.h"

#include <array>
#include <string_view>

#include "connection/ConnectionFactory.h"

namespace {

constexpr std::array<std::string_view, 19> kKnownPrefixes = {
    "5RHMA", "5RHM6", "5RQX1", "5RHMJ", "5RQ91", "5RHM1", "5RHM2", "5RWM8", "74591", "74538",
    "72021", "74005", "74447", "74444", "74437", "74352", "74590", "74589", "74436"};

bool hasKnownPrefix(const std::string& name) {
  for (std::string_view prefix : kKnownPrefixes) {
    if (name.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

std::string cut(const std::string& text) { return text.substr(0, kSettingsTextBuffer - 1); }

}  // namespace

J2534DeviceList listedDevices(const J2534DeviceList& found) {
  J2534DeviceList listed;
  for (const J2534Device& device : found) {
    if (hasKnownPrefix(device.name)) listed.push_back(device);
  }
  return listed;
}

SettingsRecord withChosenDevice(SettingsRecord record, const J2534Device& device) {
  record.TransferType = device.connectType;
  record.Name = cut(device.name);
  switch (static_cast<ConnectType>(device.connectType)) {
    case ConnectType::Serial: record.serial = cut(device.port); break;
    case ConnectType::Lan:
      record.Addr = device.addr;
      record.AddrEx = 0;
      break;
    case ConnectType::Bluetooth:
      record.Addr = device.addr;
      record.AddrEx = device.addrEx;
      break;
    default: record.TransferType = static_cast<uint32_t>(ConnectType::Lan); break;
  }
  return record;
}

bool saveChosenDevice(const J2534Device& device, uint32_t& linkType) {
  SettingsRecord record;
  loadSettings(record);
  record = withChosenDevice(record, device);
  linkType = record.TransferType;
  return saveSettings(record);
}
