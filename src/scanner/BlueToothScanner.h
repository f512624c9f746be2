#pragma once
#include "scanner/J2534DevScanner.h"

// Lists every device a Bluetooth inquiry reports, by its name and address.
// Nothing needs starting before an inquiry, so init is the base version.
class BlueToothScanner : public J2534DevScanner {
 public:
  BlueToothScanner() = default;
  virtual ~BlueToothScanner() = default;

  // 0 after an inquiry that found devices; -1 when it found none (no radio,
  // inquiry failed, or nothing in range).
  int32_t ScanJ2534Device(J2534DeviceList& list) override;
};
