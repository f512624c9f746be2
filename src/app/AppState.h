#pragma once
#include <memory>
#include <mutex>

#include "app/DeviceInfo.h"
#include "app/J2534Device.h"
#include "app/MessageTarget.h"

// State shared by the window and the tasks, and the task notifications. The
// window (or console) registers its MessageTarget; until then, and once the
// target is gone, nothing is sent and nothing blocks.
class AppState {
 public:
  static AppState& getInstance();

  void setTarget(const std::shared_ptr<MessageTarget>& target);
  std::shared_ptr<MessageTarget> target() const;

  int scanType() const;
  void setScanType(int type);

  J2534DeviceList devices() const;
  DeviceInfo deviceInfo() const;
  void setDeviceInfo(const DeviceInfo& info);

  // Copies the list into the state, then sends UM_SCAN_DONE (only with a target).
  void scanDone(int result, const J2534DeviceList& list);
  // Sends UM_DEVICE_INFO with the address of a copy valid during the call.
  void deviceInfoPhase(const DeviceInfo& info, int phase);
  void firmwareProgress(int part, int step);
  void systemProgress(int stage, int subState, int value);
  // Posts UM_TRANSFER_PROGRESS: the image transfer must not wait for a display.
  void transferProgress(size_t acknowledged, size_t total);

 private:
  AppState() = default;
  void send(unsigned id, uintptr_t wParam, intptr_t lParam);

  mutable std::mutex lock_;  // guards every field below
  std::weak_ptr<MessageTarget> target_;
  int scanType_ = 1;
  J2534DeviceList devices_;
  DeviceInfo deviceInfo_;
};
