#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The record of every run that changed, or tried to change, a device: one
// SQLite database under the working root, shared by every program of that
// root. A run's row is written when it starts and completed when it ends, so
// a run whose process died in between is found and shown as interrupted.
// The history never stands in a run's way: every failure here is a warning.

enum class RunResult { Running, Succeeded, UpToDate, Failed, Refused, Interrupted, Unknown };

// "running", "succeeded", "up-to-date", "failed", "refused", "interrupted".
const char* runResultName(RunResult result);
RunResult parseRunResult(const std::string& name);

// What a run changes.
namespace runwhat {
constexpr char kFirmware[] = "firmware";  // the firmware images the run sends (both, or the J2534 one)
constexpr char kSystem[] = "system";
constexpr char kWifi[] = "wifi";  // the network joined is kept, never its key
}  // namespace runwhat

struct RunRow {
  int64_t id = 0;
  std::string serialNumber;
  std::string model;
  std::string link;     // usb, serial, lan, wifi, bt
  std::string address;  // where the device was reached
  std::string what;
  std::string versionBefore;
  std::string versionAfter;  // read back where the run reads it back, else what was sent
  RunResult result = RunResult::Running;
  std::string step;     // where a failed run stopped
  std::string message;  // why it failed or was refused
  int64_t startedMs = 0;  // milliseconds since the epoch
  int64_t endedMs = 0;    // 0 while running, and for an interrupted run
  std::string program;
  std::string programVersion;
  std::string user;
  int64_t pid = 0;
  std::string bootId;
  int64_t processStart = 0;
};

struct RunFilter {
  std::string serialNumber;  // empty: every device
  int64_t sinceMs = 0;
  bool upgradesOnly = false;  // firmware and system runs only
  int limit = 0;              // 0: no limit
};

class RunHistory {
 public:
  // <root>/history/history.db
  static std::string defaultPath();
  // Where the warnings go besides the log (the console, the window); each
  // distinct warning is given once per process.
  static void setWarningSink(std::function<void(const std::string&)> sink);

  explicit RunHistory(std::string path = defaultPath());

  // Inserts row as running and sets its id; false (warned) when the history
  // cannot be written.
  bool begin(RunRow& row);
  // Completes the row begun; one that is gone (its database set aside
  // meanwhile) is written whole again.
  bool finish(RunRow& row);
  // The versions a later read of the device found.
  bool setVersionAfter(int64_t id, const std::string& after);
  // Newest first. A running row whose process has ended is read, and
  // stored, as interrupted.
  std::vector<RunRow> list(const RunFilter& filter);

  const std::string& path() const { return path_; }

 private:
  bool open(class SqliteDb& db);
  bool insert(SqliteDb& db, RunRow& row);
  std::string path_;
};
