#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>

#include "session/OwnedSession.h"
#include "task/SystemUpgradeReport.h"

class Frame;

// The device side of a system upgrade: the configuration session, the
// package upload in acknowledged chunks, the install (asked once) and the
// wait until the device has restarted, is back and shows the package's
// system. Only the device that was read may receive a package. Every wait
// ends once stop is raised. Used by the run's thread only.
class SystemTransfer {
 public:
  static constexpr size_t kChunkSize = 8192;
  // Bounds of the waits on the device.
  static constexpr std::chrono::milliseconds kDropLimit{60'000};
  static constexpr std::chrono::milliseconds kReturnLimit{600'000};

  explicit SystemTransfer(const std::atomic<bool>& stop) : stop_(stop) {}

  // Opens the configuration session and waits up to limitMs for it. 0, -1,
  // or the session manager's non-zero start result.
  int connect(int limitMs);
  void close();

  // Who must answer on the configuration session.
  void expectDevice(const std::string& serialNumber) { expectedSerial_ = serialNumber; }
  // Checks the device, then uploads image, a package holding system version:
  // kDone once every chunk was acknowledged, kFailed when the device is not
  // the one expected, else kRetry.
  SystemResult send(const std::string& image, const std::string& version);
  // Uploads the file at path, streamed chunk by chunk. 0 once the device has
  // acknowledged every chunk; non-zero for an unreadable, empty or oversized
  // file (nothing sent), a refused or unanswered chunk, or a stop.
  int sendUpgradeFile(const std::string& path);
  // Has the device install what was sent and waits for it to show the
  // package's system: kDone or kFailed (the reason posted).
  SystemResult install();

  // Sleeps for d (scaled) in short pieces; false once a stop was requested.
  bool pause(std::chrono::milliseconds d);

 private:
  bool acceptInstallReply(const Frame& reply);
  // After the install request: waits for the device to drop the link, come
  // back and show the package's system, or to show it without dropping the
  // link. False (with the reason posted) on anything else, a time-out or a stop.
  bool awaitInstall(bool answered);
  bool awaitReturn();
  bool linkDropped();
  // Asks the device on the session for its serial number; false, with the
  // reason posted, unless it is the expected one.
  bool confirmDevice(const char* when);
  bool readSystemVersion(std::string& version);
  bool stopping() const { return stop_.load(); }

  const std::atomic<bool>& stop_;
  OwnedSession session_;
  // The boot-mode port the session uses; empty for a network session.
  std::string sessionPort_;
  std::string expectedSerial_;
  std::string packageVersion_;  // the system the device must run after the install
};
