#include "ui/CWifiScanUtils.h"

#include <algorithm>

#include "utils/LogFacade.h"

CWifiScanUtils::~CWifiScanUtils() {
  if (client_) client_->close();
}

bool CWifiScanUtils::open() {
  auto client = platform::createWlanClient();
  if (!client || client->open() != 0) {
    LOG_WARN("WlanOpenHandle failed with error: %s", client ? client->lastError().c_str() : "no client");
    return false;
  }
  if (client->enumInterfaces(interfaces_) != 0) {
    LOG_WARN("WlanEnumInterfaces failed with error: %s", client->lastError().c_str());
    client->close();
    return false;
  }
  client_ = std::move(client);
  return true;
}

bool CWifiScanUtils::scan() {
  if (!client_) return false;
  int number = 1;
  for (const std::string& name : interfaces_) {
    if (client_->scan(name) != 0) {
      LOG_WARN("WlanScan failed for interface %d with error: %s", number, client_->lastError().c_str());
    }
    ++number;
  }
  return true;
}

std::vector<std::string> CWifiScanUtils::getNetworkNames() {
  std::vector<std::string> names;
  if (!client_) {
    LOG_WARN("CWifiScanUtils not initialized!");
    return names;
  }
  int number = 1;
  for (const std::string& name : interfaces_) {
    std::vector<std::string> ssids;
    if (client_->availableNetworks(name, ssids) != 0) {
      LOG_WARN("WlanGetAvailableNetworkList failed with error: %s", client_->lastError().c_str());
      ++number;
      continue;
    }
    LOG_INFO("Found %zu networks on interface %d", ssids.size(), number);
    for (const std::string& ssid : ssids) {
      std::string entry = ssid.empty() ? std::string(kHiddenSsid) : ssid;
      if (std::find(names.begin(), names.end(), entry) == names.end()) names.push_back(std::move(entry));
    }
    ++number;
  }
  return names;
}
