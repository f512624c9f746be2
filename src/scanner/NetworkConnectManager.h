#pragma once
#include <cstdint>

#include "scanner/BlueToothScanner.h"
#include "scanner/NetworkScanner.h"
#include "scanner/SerialScanner.h"
#include "scanner/WifiScanner.h"

// Owns one scanner per link type and runs the one a scan asks for. A scanner
// that cannot be prepared fails only the scans of its own link type, so a
// host without a Wi-Fi service still scans USB and LAN.
class NetworkConnectManager {
 public:
  NetworkConnectManager() = default;
  NetworkConnectManager(const NetworkConnectManager&) = delete;
  NetworkConnectManager& operator=(const NetworkConnectManager&) = delete;
  virtual ~NetworkConnectManager() = default;

  // Prepares every scanner and remembers each one's result; 0 (a failure is
  // logged, and reported by the scans of that type).
  int32_t init();
  // Runs the scanner of connectType (a ConnectType value) and returns its result, or the result of its failed init
  // without scanning. Any other type: 0 and the list unchanged.
  int32_t ScanJ2534Dev(J2534DeviceList& list, int connectType);

 private:
  WifiScanner wifiScanner_;
  BlueToothScanner btScanner_;
  NetworkScanner networkScanner_;
  SerialScanner serialScanner_;

  // Last init results; only the scan task's thread touches them.
  int32_t wifiInit_ = 0;
  int32_t btInit_ = 0;
  int32_t serialInit_ = 0;
};
