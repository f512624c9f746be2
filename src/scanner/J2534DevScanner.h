#pragma once
#include <cstdint>

#include "app/J2534Device.h"
#include "connection/ConnectionFactory.h"

// One way of finding devices, one per link type. Every scanner only appends
// to the caller's list, in the order it finds the devices.
class J2534DevScanner {
 public:
  // One-time preparation; 0 when the scanner is ready.
  virtual int32_t init() { return 0; }
  // Appends the devices found; 0 when the scan ran.
  virtual int32_t ScanJ2534Device(J2534DeviceList& list) = 0;

 protected:
  // Scanners are held by value and never deleted through this interface.
  ~J2534DevScanner() = default;
};
