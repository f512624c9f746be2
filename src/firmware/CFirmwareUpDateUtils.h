#pragma once
#include "app/DeviceModel.h"
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "session/OwnedSession.h"

class Frame;

// Brings one firmware image onto the device: fetches it (a package to unpack
// for numeric serial numbers, an image file named by the firmware-information
// service for alphanumeric ones), enters the boot loader, passes its safety
// check, announces the image, sends it in acknowledged chunks and hands over
// its MD5 digest. Only the device's answer to that digest makes a transfer
// successful.
//
// Blocking code for one task thread. Every reply is outside input: lengths
// are checked before any byte is read.
class CFirmwareUpDateUtils {
 public:
  static constexpr size_t kChunkSize = 4096;
  // Far beyond any image the device takes, and it keeps the whole image in
  // memory within reason; the announcement could carry up to 4 GiB.
  static constexpr uint64_t kMaxImageLength = 64ull << 20;

  // DigitFirmwareUpgradePrepare results.
  static constexpr int kDownloadFailed = -1;
  static constexpr int kUnzipFailed = -2;

  CFirmwareUpDateUtils() = default;
  virtual ~CFirmwareUpDateUtils() = default;
  CFirmwareUpDateUtils(const CFirmwareUpDateUtils&) = delete;
  CFirmwareUpDateUtils& operator=(const CFirmwareUpDateUtils&) = delete;

  // Files of a software type ("1" main firmware, "3" J2534 firmware) in the
  // folder root (empty: <root>/Update); empty for any other type.
  static std::string packageFilePath(const std::string& softType, const std::string& root = {});
  static std::string imageFilePath(const std::string& softType, const std::string& root = {});

  // Package preparation.

  // Enters the boot loader, then up to 3 times asks the firmware-information
  // service for the image and downloads it to imagePath. 0 / -1.
  int AlphaFirmwareUpgradePrepare(const std::string& serialNumber, const std::string& softType,
                                  const std::string& imagePath);
  // Downloads the package and unpacks it beside itself into a fresh folder.
  // 0, kDownloadFailed or kUnzipFailed.
  int DigitFirmwareUpgradePrepare(const std::string& location, const std::string& packagePath);
  // 0 with the image's download location, -1 for a reply without the
  // required members, or the request's own error code.
  int requestFirmwareInfo(const std::string& serialNumber, const std::string& softType, const std::string& random,
                          std::string& downloadUrl);
  // The query URL of a firmware-information request to endpoint.
  static std::string firmwareInfoUrl(const std::string& endpoint, const std::string& random,
                                     const std::string& serialNumber, const std::string& softType);
  // Checks a firmware-information reply: an object whose "result" is an
  // object holding the strings "version" and "downloadUrlUS".
  static bool parseFirmwareInfo(const std::string& reply, std::string& downloadUrl, std::string& version);
  // Up to 3 tries, 100 ms apart, none once stop is raised. 0 / -1.
  static int downloadFile(const std::string& location, const std::string& filePath,
                          const std::atomic<bool>* stop = nullptr);
  // 0, or the first non-zero result of the archive reader.
  static int unzipToFolder(const std::string& packagePath, const std::string& folder);
  // The package path without its ".zip" (searched in the file name only);
  // empty when the file name holds no ".zip".
  static std::string packageFolder(const std::string& packagePath);

  // Transfer.

  // Sends the image at path; true only when the device accepted its digest.
  bool upgradeFirmware(const std::string& serialNumber, const std::string& softType, const std::string& path);
  bool FirmwareUpDateAlphanumeric(const std::string& softType, const std::string& path);
  bool FirmwareUpDateDigit(const std::string& softType, const std::string& path);
  static bool checkFileSize(uint64_t length, DeviceModel model, const std::string& softType);
  // Boot entry of devices with an alphanumeric serial number: mode read, and
  // a boot switch unless the device already is in its boot loader.
  bool EnterBoot();
  int switchBoot();
  // Boot entry of devices with a numeric serial number.
  bool enterBootDigit();
  bool SafetyCheck();
  // Announces and sends the image at path; digest gets its MD5.
  bool burnFile(const std::string& softType, const std::string& path, std::string& digest);
  int notifyFirmwareInfo(const std::string& softType, uint32_t length);
  int sendBin(const uint8_t* image, size_t length);
  bool sendDigest(const std::string& digest);
  // Asks the device on the session for its serial number (kCmdReadSerial): true
  // when it is serialNumber. Another number always fails; no answer fails
  // unless silenceAccepted (a boot loader after a restart need not answer).
  // Guards against writing an image into a device other than the one read.
  bool verifyDevice(bool silenceAccepted);
  // Opens the default session and waits up to 10 s for it to connect. 0,
  // -1, or the session manager's non-zero start result.
  int connectDefaultSession();
  void closeSession() { session_.close(); }
  // The session the transfer uses; -1 when there is none.
  int sessionId() const { return session_.id(); }
  // Makes a session opened elsewhere the one the transfer uses (and closes).
  void useSession(int id) { session_.adopt(id); }

  // The image name the device is told for a software type; empty if none.
  static std::string imageName(const std::string& softType);

  DeviceModel productType = DeviceModel::Unsupported;  // set by the task
  std::string serialNumber;         // set by upgradeFirmware
  // The task's stop flag, when it has one: ends the web exchanges early.
  const std::atomic<bool>* stop = nullptr;

 private:
  enum class BootEntry { Alphanumeric, Digit };
  bool firmwareUpDate(BootEntry entry, const std::string& softType, const std::string& path);
  bool exchange(const Frame& request, Frame& reply, int timeoutMs, bool* sent = nullptr);
  OwnedSession session_;
};
