#pragma once
#include <cstdint>
#include <string>

// One software item of the device as the device reports it and as the web
// services offer it.
struct SoftwareSlot {
  std::string softType;
  std::string packageName;
  std::string version;
  std::string latestVersion;
  std::string downloadLink;
  // When latestVersion is empty after an online read: which service, at what
  // address, and what went wrong.
  std::string latestUnknownWhy;
};

// Who the device is and what it runs; filled by a device read.
struct DeviceInfo {
  std::string serialNumber;
  SoftwareSlot firmware;       // software type "1", image DOWNLOAD.BIN
  SoftwareSlot j2534Firmware;  // software type "3", image J2534.BIN
  SoftwareSlot system;
  SoftwareSlot platform;
  std::string dllVersion;
  uint32_t sessionId = 0;

  // Start of every read; the platform slot keeps the previous read's texts.
  void reset() {
    serialNumber.clear();
    dllVersion.clear();
    firmware = SoftwareSlot();
    j2534Firmware = SoftwareSlot();
    system = SoftwareSlot();
    sessionId = 0;
  }
};
