#pragma once
#include <string>

#include "app/RunHistory.h"

// One run as the front ends record it: its row is written as running when
// the object is made, with the device, where it is reached and who runs
// what, and completed by finish(). A run that leaves without finishing is
// recorded as failed, so no row is left running by a process that lives on.
class RecordedRun {
 public:
  // The program the rows name, set once by each program's start.
  static void setProgram(std::string name, std::string version);

  // place: where the run's claim reaches the device ("tcp HOST:PORT",
  // "serial TTY", "bt ADDRESS"), or "" when not known.
  RecordedRun(const std::string& serialNumber, const char* what, std::string versionBefore, const std::string& place);
  ~RecordedRun();
  RecordedRun(const RecordedRun&) = delete;
  RecordedRun& operator=(const RecordedRun&) = delete;

  void finish(RunResult result, std::string versionAfter, std::string step = "", std::string message = "");
  bool finished() const { return finished_; }
  // The row's id once written; 0 when the history could not be written.
  int64_t id() const { return row_.id; }

 private:
  RunHistory history_;
  RunRow row_;
  bool finished_ = false;
};

// The link ("usb", "serial", "lan", "wifi", "bt") and address of a claim's
// place, without probing any port.
void linkOfPlace(const std::string& place, std::string& link, std::string& address);
