#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "schedule/Task.h"
#include "utils/RunFolder.h"

class Frame;

// The system upgrade task (task 4 on worker 0): finds the package offered
// online for the serial number "sn", or takes the local package "pkgPath"
// that the window asks the user for, unpacks it into a private folder, checks
// its description, makes sure the configuration session reaches the device
// that was read ("deviceSn", else "sn"), uploads its system.zip in
// acknowledged chunks, has the device install it (asked once per run) and
// waits until the device has restarted and is back. Only a device that then
// tells the same serial number and the package's system version counts as
// upgraded. Every step is reported as UM_SYSTEM_PROGRESS (state, result,
// value); a run that does not end with (6, 0, 0) did not upgrade the device,
// and it posts why as a text with kFailurePrefix.
class SystemUpgrader : public Task {
 public:
  enum State : int { kPrepare = 1, kDownload = 2, kChoose = 3, kTransfer = 4, kInstall = 5, kEnd = 6 };
  // Step results, also the sub-state of a report.
  enum Result : int { kDone = 0, kGiveUp = 1, kRetry = 2, kNoPackage = 3, kRejected = 4,
                      // Install only: the device has not come back yet; the
                      // value is a ReturnWait (encodeWait).
                      kWaiting = 5 };

  static constexpr char kFailurePrefix[] = "ERR_SYSTEM_UPGRADE: ";

  static constexpr size_t kChunkSize = 8192;
  // Far above any system the device holds; a larger file is refused unsent.
  static constexpr int64_t kMaxSystemImage = 512ll << 20;
  static constexpr size_t kMaxDescriptionValue = 128;

  // Bounds of the waits on the device and the user.
  static constexpr std::chrono::milliseconds kDropLimit{60'000};
  static constexpr std::chrono::milliseconds kReturnLimit{600'000};
  static constexpr std::chrono::milliseconds kChoiceLimit{600'000};

  // How long the device has been awaited after the install, and at most.
  struct ReturnWait {
    int waitedSeconds = 0;
    int limitSeconds = 0;
  };
  static int encodeWait(ReturnWait wait);
  static ReturnWait decodeWait(int value);
  // What both front ends show for a (kInstall, kWaiting) report.
  static std::string waitText(int value);

  SystemUpgrader() = default;
  ~SystemUpgrader() override = default;

  void run() override;
  // Ends the run at its next check, whatever it waits for; the run then
  // reports failure.
  void stop() override;
  // Also takes a non-empty "pkgPath" as the package path and wakes the
  // package choice.
  int setParam(const std::string& key, const std::string& value) override;

  // Waits (at most kChoiceLimit, or until stopped) for the window to set a
  // package path: 0 for a file, 1 for "nofile", a time-out or a stop.
  int waitBoxChoicePkg();
  // Uploads the file at path, streamed chunk by chunk. 0 once the device has
  // acknowledged every chunk; non-zero for an unreadable, empty or oversized
  // file (nothing sent), a refused or unanswered chunk, or a stop.
  int sendUpgradeFile(const std::string& path);

  // Opens the configuration session and waits up to limitMs for it. 0, -1,
  // or the session manager's non-zero start result.
  int connect(int limitMs);

  // The package query URL for a serial number on a service host.
  static std::string packageQueryUrl(const std::string& host, const std::string& serialNumber);
  // Checks the package query's reply: an object whose "data" object holds the
  // string "path", handed out in url.
  static bool parsePackageReply(std::string_view reply, std::string& url);
  // A system.ini is acceptable when section "Info" has a non-empty "Version"
  // and none of its version values is longer than kMaxDescriptionValue or
  // holds a control character.
  static bool checkDescription(std::string_view iniText);
  // Unpacks package into folder and checks what it holds: a system.ini with
  // an acceptable description and a system.zip of 1 byte to kMaxSystemImage.
  // True with the image's path and the package's system version; false with
  // problem saying, for the user, what is wrong.
  static bool unpackPackage(const std::string& package, const std::string& folder, std::string& image,
                            std::string& version, std::string& problem);
  // The same check in a private folder that is gone when it returns.
  static bool checkPackage(const std::string& package, std::string& version, std::string& problem);

 private:
  int step(int state);
  int prepare();
  int download();
  int transfer();
  int install();
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
  // Logs and posts why the run fails.
  void fail(const std::string& reason);
  // Sleeps for d (scaled) in short pieces; false once a stop was requested.
  bool pause(std::chrono::milliseconds d);
  void report(int state, int result, int value);
  // The clean-up every run ends with, however it ends.
  void finishRun();
  void closeOwnSession();
  bool stopping() const { return stopRequested_.load(); }

  std::unique_ptr<RunFolder> downloads_;  // the run's download folder; run's thread only
  std::mutex waitLock_;  // guards pkgPath_
  std::condition_variable pkgPathSignal_;
  std::string pkgPath_;

  // Used by the run's thread only.
  std::string serialNumber_;
  std::string expectedSerial_;  // who must answer on the configuration session
  std::string packageVersion_;  // the system the device must run after the install
  std::string packageUrl_;
  int session_ = -1;
  int state_ = kPrepare;
  // The boot-mode port the session uses; empty for a network session.
  std::string sessionPort_;

  std::atomic<int> running_{0};
  // Set by stop, cleared when a run ends (a stop that came first ends the
  // next run at once): every wait of the run, downloads included, ends on it.
  std::atomic<bool> stopRequested_{false};
};
