#include "platform/WlanClient.h"

#include "platform/FileUtils.h"
#include "platform/DeviceEndpoints.h"

#include <mutex>

namespace platform {
namespace {

constexpr size_t kMaxInterfaceName = 15;

bool isValidInterfaceName(std::string_view name) {
  if (name.empty() || name.size() > kMaxInterfaceName || name.front() == '#') return false;
  for (unsigned char c : name) {
    if (c <= 0x20 || c == 0x7f) return false;
  }
  return true;
}

bool isRepresentableSsid(std::string_view ssid) {
  return ssid.size() <= kMaxSsidBytes && ssid.find_first_of("\t\n") == std::string_view::npos &&
         (ssid.empty() || ssid.back() != '\r');
}

class SimWlanClient : public WlanClient {
 public:
  explicit SimWlanClient(std::string path) : path_(std::move(path)) {}

  int open() override {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    return 0;
  }

  int enumInterfaces(std::vector<std::string>& names) override {
    names.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return failLocked("the WLAN client is not open");
    for (const SimWlanNetwork& network : readList()) {
      bool known = false;
      for (const std::string& name : names) known = known || name == network.interfaceName;
      if (!known) names.push_back(network.interfaceName);
    }
    return 0;
  }

  int scan(const std::string& interfaceName) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return failLocked("the WLAN client is not open");
    for (const SimWlanNetwork& network : readList()) {
      if (network.interfaceName == interfaceName) return 0;
    }
    return failLocked("no such Wi-Fi interface");
  }

  int availableNetworks(const std::string& interfaceName, std::vector<std::string>& ssids) override {
    ssids.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return failLocked("the WLAN client is not open");
    bool known = false;
    for (SimWlanNetwork& network : readList()) {
      if (network.interfaceName != interfaceName) continue;
      known = true;
      ssids.push_back(std::move(network.ssid));
    }
    return known ? 0 : failLocked("no such Wi-Fi interface");
  }

  void close() override {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
  }

  std::string lastError() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastError_;
  }

 private:
  std::vector<SimWlanNetwork> readList() const {
    std::string text;
    if (!readFilePrefix(path_, kSimWlanMaxFile, text)) return {};
    return parseSimWlanList(text);
  }

  int failLocked(std::string reason) {
    lastError_ = std::move(reason);
    return -1;
  }

  const std::string path_;
  mutable std::mutex mutex_;  // guards open_, lastError_
  bool open_ = false;
  std::string lastError_;
};

std::mutex& factoryMutex() {
  static std::mutex m;
  return m;
}

WlanClientFactory& testFactory() {  // guarded by factoryMutex()
  static WlanClientFactory factory;
  return factory;
}

}  // namespace

std::vector<SimWlanNetwork> parseSimWlanList(std::string_view text) {
  std::vector<SimWlanNetwork> networks;
  forEachBoundedLine(text, kSimWlanMaxFile, kSimWlanMaxLine, [&](std::string_view line) {
    if (line.empty() || line.front() == '#') return true;
    size_t tab = line.find('\t');
    if (tab == std::string_view::npos) return true;
    std::string_view name = line.substr(0, tab);
    std::string_view ssid = line.substr(tab + 1);
    if (!isValidInterfaceName(name) || !isRepresentableSsid(ssid)) return true;
    networks.push_back(SimWlanNetwork{std::string(name), std::string(ssid)});
    return networks.size() < kSimWlanMaxNetworks;
  });
  return networks;
}

std::string formatSimWlanList(const std::vector<SimWlanNetwork>& networks) {
  std::string text;
  for (const SimWlanNetwork& network : networks) {
    if (!isValidInterfaceName(network.interfaceName) || !isRepresentableSsid(network.ssid)) continue;
    text += network.interfaceName;
    text += '\t';
    text += network.ssid;
    text += '\n';
  }
  return text;
}

bool writeSimWlanList(const std::string& path, const std::vector<SimWlanNetwork>& networks) {
  if (networks.size() > kSimWlanMaxNetworks) return false;
  for (const SimWlanNetwork& network : networks) {
    if (!isValidInterfaceName(network.interfaceName) || !isRepresentableSsid(network.ssid)) return false;
  }
  return writeFileAtomically(path, formatSimWlanList(networks));
}

std::shared_ptr<WlanClient> makeSimWlanClient(std::string path) {
  return std::make_shared<SimWlanClient>(std::move(path));
}

std::shared_ptr<WlanClient> createWlanClient() {
  WlanClientFactory factory;
  {
    std::lock_guard<std::mutex> lock(factoryMutex());
    factory = testFactory();
  }
  if (factory) return factory();
  const std::string& simFile = deviceEndpoints().simWlanFile;
  return simFile.empty() ? makeNetworkManagerWlanClient() : makeSimWlanClient(simFile);
}

void setWlanClientFactoryForTest(WlanClientFactory factory) {
  std::lock_guard<std::mutex> lock(factoryMutex());
  testFactory() = std::move(factory);
}

}  // namespace platform
