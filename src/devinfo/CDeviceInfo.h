#pragma once
#include <cstdint>
#include <string>

#include "app/DeviceInfo.h"

// Reads who the attached device is and what it runs (device side), and asks
// the maker's web services what is newest (online side). Lives on the stack
// of the task that uses it; it never closes its session.
//
// Device replies and web replies are outside input: every length is checked
// before it is used. Failures go to the log and, where the user should see
// them, to the window through TextNotifier (kind 2).
class CDeviceInfo {
 public:
  static constexpr uint32_t kNoSession = 0xFFFFFFFF;

  CDeviceInfo() = default;
  explicit CDeviceInfo(uint32_t session) : sessionId(session) {}
  virtual ~CDeviceInfo() = default;

  // Device side.

  // Closes every session, starts the session manager and opens the default
  // session; 0 once it is connected within timeoutMs, the manager's non-zero
  // start result, or -1.
  int createConnect(int timeoutMs);
  // The whole device read into info; false when the session is not connected
  // or the firmware read failed.
  bool readDevVer(DeviceInfo& info);
  // Mode, serial number and the two firmware versions.
  bool readCurFirmwareInfo(DeviceInfo& info);
  bool readMode(uint8_t& mode);
  bool readSerialNumber(DeviceInfo& info);
  bool readVersions(std::string& firmwareVersion, std::string& j2534Version);
  bool readSystemVersion(DeviceInfo& info);
  // Brings a Q-TRAK device into J2534 mode, reconnecting when the switch
  // dropped the link; 0 = done, -1 = failed.
  int qtrkSwithToJ2534();

  // Online side (regions: 0 international, 1 China).

  // Every query the device needs, each retried once at the China endpoint;
  // the result of the last query made. Needs a non-empty serial number.
  bool requestDevOnlineVer(DeviceInfo& info);
  bool requestAlphaSnFWLastVer(int region, const std::string& serialNumber, SoftwareSlot& firmware,
                               SoftwareSlot& j2534Firmware);
  bool requestNumSnDownloadLastVer(int region, const std::string& serialNumber, SoftwareSlot& firmware);
  bool requestNumSnJ2534LastVer(int region, const std::string& serialNumber, SoftwareSlot& j2534Firmware);
  bool requestSysLastVer(int region, const std::string& serialNumber, SoftwareSlot& system);
  // The SOAP envelope of the version service, with the namespace from the
  // deployment file. The texts are XML-escaped.
  static std::string buildVersionQuery(const std::string& serialNumber, const std::string& softName,
                                       const std::string& systemName);
  static std::string buildVersionQuery(const std::string& serialNumber, const std::string& softName,
                                       const std::string& systemName, const std::string& soapNamespace);

  uint32_t sessionId = kNoSession;
  // What the last online query that failed said about its failure.
  std::string lastOnlineFailure;
};

// Applies the two texts of the system-version reply: the platform name and
// version from the first ("P1-2.0"), the system version and package name
// from the second ("V3.10_P1-205"). A part without its dash keeps the
// slot's earlier value.
void applySystemTexts(const std::string& first, const std::string& second, DeviceInfo& info);
