#include "scanner/WifiScanner.h"

#include <chrono>
#include <cstdio>

#include "platform/Clock.h"
#include "utils/LogFacade.h"

namespace {

// The interface needs this long after a scan request before its list is fresh.
constexpr std::chrono::milliseconds kScanSettle{2000};

void printLine(const std::string& text, FILE* stream = stdout) {
  std::fputs(text.c_str(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

}  // namespace

WifiScanner::~WifiScanner() { closeClient(); }

int32_t WifiScanner::init() {
  if (client_) return 0;
  auto client = platform::createWlanClient();
  if (client->open() != 0) {
    printLine("WlanOpenHandle failed with error: " + client->lastError());
    return -1;
  }
  client_ = std::move(client);
  return 0;
}

int32_t WifiScanner::ScanJ2534Device(J2534DeviceList& list) {
  interfaces_.clear();
  enumInterfaces(interfaces_);
  if (interfaces_.empty()) {
    printLine("EnumInterfaces size is null");
    LOG_INFO("EnumInterfaces size is null");
    return 0;
  }
  for (const std::string& name : interfaces_) ScanWlan(name, list);
  return 0;
}

int WifiScanner::enumInterfaces(std::vector<std::string>& names) {
  names.clear();
  if (!client_ || client_->enumInterfaces(names) != 0) {
    printLine("WlanEnumInterfaces failed with error: " + (client_ ? client_->lastError() : std::string("not open")));
    names.clear();
    // Dropped, not only closed, so the next init opens a fresh client
    // instead of trusting a closed one.
    closeClient();
    return -1;
  }
  for (const std::string& name : names) printLine("interface : " + logfacade::escapeForLog(name));
  return 0;
}

int WifiScanner::ScanWlan(const std::string& interfaceName, J2534DeviceList& list) {
  if (!client_) return -1;
  if (client_->scan(interfaceName) != 0) {
    std::string why = client_->lastError();
    printLine("WlanScan failed with error: " + why, stderr);
    LOG_INFO("WlanScan failed with error:  %s", logfacade::escapeForLog(why).c_str());
    return -1;
  }
  platform::sleepFor(kScanSettle);

  std::vector<std::string> ssids;
  if (client_->availableNetworks(interfaceName, ssids) != 0) {
    std::string why = client_->lastError();
    printLine("WlanGetAvailableNetworkList failed with error: " + why);
    LOG_INFO("WlanGetAvailableNetworkList failed with error:  %s", logfacade::escapeForLog(why).c_str());
    return -1;
  }
  // Every entry counts, hidden networks (empty SSID) and repeats included.
  for (const std::string& ssid : ssids) {
    J2534Device record;
    record.name = ssid.substr(0, platform::kMaxSsidBytes);
    record.connectType = static_cast<uint32_t>(ConnectType::Wifi);
    list.push_back(record);
  }
  return 0;
}

void WifiScanner::closeClient() {
  if (client_) client_->close();
  client_.reset();
}
