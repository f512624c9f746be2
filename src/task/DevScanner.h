#pragma once
#include "scanner/NetworkConnectManager.h"
#include "schedule/Task.h"

// The scan task (task 1 on worker 0): runs one scan of the link type that
// AppState names and reports the list through AppState. The same manager,
// and so the same scanners, serve every scan of the process.
class DevScanner : public Task {
 public:
  DevScanner() = default;
  ~DevScanner() override = default;

  void run() override;
  // Takes no parameters.
  int setParams(const Params& params) override;

 private:
  NetworkConnectManager manager_;
};
