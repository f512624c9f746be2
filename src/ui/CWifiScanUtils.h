#pragma once
#include <memory>
#include <string>
#include <vector>

#include "platform/WlanClient.h"

// The Wi-Fi networks the PC sees, for the device's Wi-Fi set-up.
class CWifiScanUtils {
 public:
  // What a network that hides its name is listed as.
  static constexpr char kHiddenSsid[] = "[Hidden SSID]";

  CWifiScanUtils() = default;
  ~CWifiScanUtils();
  CWifiScanUtils(const CWifiScanUtils&) = delete;
  CWifiScanUtils& operator=(const CWifiScanUtils&) = delete;

  bool open();
  // Asks every interface to look; the results come in over the next second.
  bool scan();
  // Every SSID once, in order of appearance; raw bytes, kHiddenSsid for a hidden one.
  std::vector<std::string> getNetworkNames();

 private:
  std::shared_ptr<platform::WlanClient> client_;  // none until open() succeeds
  std::vector<std::string> interfaces_;
};
