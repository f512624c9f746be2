#pragma once
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "schedule/Task.h"

// The window's short device checks (link checks, supply voltage) as work on
// the device worker: they take turns with reads, scans and upgrades, so a
// check never shares or cuts a session one of those is using, and closing
// the window can wait for a check that runs.
class ProbeTask : public Task {
 public:
  // The check the next start runs.
  void setJob(std::function<void()> job);
  void run() override;

 private:
  std::mutex lock_;  // guards job_
  std::function<void()> job_;
};

// The start of what a refused start says while an upgrade runs; the running task's id follows.
inline constexpr char kTaskRunningRefusal[] = "Another task is running, please try again later, running taskId:";

// Shown while a check runs, and when another is asked for meanwhile.
inline constexpr char kProbeInProgress[] = "Function in progress, please wait.";

// Why a check may not start now: nothing when it may.
struct ProbeRefusal {
  bool refused = false;
  bool asMessageBox = false;  // an upgrade runs: said in a message box, else in the progress line
  std::string text;
};
// runningTask: the device worker's running task, -1 for none; probeRunning: a
// check was started and has not ended.
ProbeRefusal probeRefusal(int runningTask, bool probeRunning);

// What a link check tells the user. linkType is the link checked, chosenType
// the link the user chose (a LAN row is checked as Wi-Fi); usbPresent: the
// device is also attached by USB; japanese: the Japanese Q-TRAK wording.
std::string linkCheckText(bool passed, int linkType, int chosenType, bool usbPresent, bool japanese);
std::string usbCheckText(bool passed);
std::string voltageText(std::optional<float> volts);
