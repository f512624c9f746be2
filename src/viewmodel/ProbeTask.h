#pragma once
#include <functional>
#include <mutex>

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
