#pragma once
#include <memory>
#include <string>
#include <vector>

#include "platform/WlanClient.h"
#include "scanner/J2534DevScanner.h"

// Lists every network each Wi-Fi interface sees, by its SSID.
class WifiScanner : public J2534DevScanner {
 public:
  WifiScanner() = default;
  WifiScanner(const WifiScanner&) = delete;
  WifiScanner& operator=(const WifiScanner&) = delete;
  virtual ~WifiScanner();

  // Opens the WLAN client unless it is open already; 0 when it is open, -1
  // when it cannot be (the next init tries again).
  int32_t init() override;
  // Always 0: a failing interface is logged and skipped.
  int32_t ScanJ2534Device(J2534DeviceList& list) override;

  // Replaces names with the interfaces; -1 (and the client closed, so the
  // next init opens it again) when they cannot be listed.
  int enumInterfaces(std::vector<std::string>& names);
  // Asks one interface to scan, waits for it, and appends what it sees.
  int ScanWlan(const std::string& interfaceName, J2534DeviceList& list);

 private:
  void closeClient();

  std::shared_ptr<platform::WlanClient> client_;  // set only while open
  std::vector<std::string> interfaces_;           // of the last scan
};
