#pragma once
#include "app/DeviceInfo.h"
#include "schedule/Task.h"

// The device-information task (task 2 on worker 0): one run is one complete
// read of the attached device and of the newest versions online, reported to
// the window as UM_DEVICE_INFO phases: 3 alone when the device cannot be
// reached; otherwise 0 (device read), then 1 and 2 from the online query when
// the serial number is known, then 2 once more.
class DevInfoReader : public Task {
 public:
  enum Phase : int { kDeviceRead = 0, kOnlineRead = 1, kFinished = 2, kNoConnection = 3 };

  DevInfoReader();
  ~DevInfoReader() override;

  void run() override;

 private:
  // Written by the run's thread, and by the online thread while the run
  // waits for it; the window only ever receives copies.
  DeviceInfo info_;
};
