#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "schedule/Task.h"

// The system upgrade task (task 4 on worker 0): finds the package offered
// online for the serial number "sn", or takes the local package "pkgPath"
// that the window asks the user for, unpacks it into a private folder, checks
// its description, uploads its system.zip in acknowledged chunks over the
// configuration session, has the device install it and waits until the
// device has restarted and is back. Every step is reported as
// UM_SYSTEM_PROGRESS (state, result, value); a run that does not end with
// (6, 0, 0) did not upgrade the device.
class SystemUpgrader : public Task {
 public:
  enum State : int { kPrepare = 1, kDownload = 2, kChoose = 3, kTransfer = 4, kInstall = 5, kEnd = 6 };
  // Step results, also the sub-state of a report.
  enum Result : int { kDone = 0, kGiveUp = 1, kRetry = 2, kNoPackage = 3, kRejected = 4 };

  static constexpr size_t kChunkSize = 8192;
  // Far above any system the device holds; a larger file is refused unsent.
  static constexpr int64_t kMaxSystemImage = 512ll << 20;
  static constexpr size_t kMaxDescriptionValue = 128;

  // Bounds of the waits on the device and the user.
  static constexpr std::chrono::milliseconds kDropLimit{60'000};
  static constexpr std::chrono::milliseconds kReturnLimit{600'000};
  static constexpr std::chrono::milliseconds kChoiceLimit{600'000};

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

  // Where a package found online is downloaded to.
  static std::string downloadPath();

 private:
  int step(int state);
  int prepare();
  int download();
  int transfer();
  int install();
  // Waits for the device to drop the link and then to come back; false on a
  // time-out or a stop.
  bool awaitRestart();
  bool linkDropped();
  // Sleeps for d (scaled) in short pieces; false once a stop was requested.
  bool pause(std::chrono::milliseconds d);
  void report(int state, int result, int value);
  // The clean-up every run ends with, however it ends.
  void finishRun();
  void closeOwnSession();
  bool stopping() const { return stopRequested_.load(); }

  std::mutex waitLock_;  // guards pkgPath_
  std::condition_variable pkgPathSignal_;
  std::string pkgPath_;

  // Used by the run's thread only.
  std::string serialNumber_;
  std::string packageUrl_;
  int session_ = -1;
  int state_ = kPrepare;
  // The boot-mode port the session uses; empty for a network session.
  std::string sessionPort_;

  std::atomic<int> running_{0};
  // Set by stop, cleared when a run starts: every wait of the run ends on it.
  std::atomic<bool> stopRequested_{false};
};
