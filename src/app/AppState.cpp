#include "app/AppState.h"

#include "app/Messages.h"

AppState& AppState::getInstance() {
  static AppState* instance = new AppState();
  return *instance;
}

void AppState::setTarget(const std::shared_ptr<MessageTarget>& target) {
  std::lock_guard<std::mutex> guard(lock_);
  target_ = target;
}

std::shared_ptr<MessageTarget> AppState::target() const {
  std::lock_guard<std::mutex> guard(lock_);
  return target_.lock();
}

int AppState::scanType() const {
  std::lock_guard<std::mutex> guard(lock_);
  return scanType_;
}

void AppState::setScanType(int type) {
  std::lock_guard<std::mutex> guard(lock_);
  scanType_ = type;
}

J2534DeviceList AppState::devices() const {
  std::lock_guard<std::mutex> guard(lock_);
  return devices_;
}

DeviceInfo AppState::deviceInfo() const {
  std::lock_guard<std::mutex> guard(lock_);
  return deviceInfo_;
}

void AppState::setDeviceInfo(const DeviceInfo& info) {
  std::lock_guard<std::mutex> guard(lock_);
  deviceInfo_ = info;
}

void AppState::send(unsigned id, uintptr_t wParam, intptr_t lParam) {
  // No lock is held while the target handles the message.
  if (auto target = this->target()) target->send(AppMessage{id, wParam, lParam, {}});
}

void AppState::scanDone(int result, const J2534DeviceList& list) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (target_.expired()) return;
    devices_ = list;
  }
  send(UM_SCAN_DONE, static_cast<uintptr_t>(static_cast<intptr_t>(result)), 0);
}

void AppState::deviceInfoPhase(const DeviceInfo& info, int phase) {
  DeviceInfo copy = info;
  send(UM_DEVICE_INFO, reinterpret_cast<uintptr_t>(&copy), phase);
}

void AppState::firmwareProgress(int part, int step) { send(UM_FIRMWARE_PROGRESS, static_cast<uintptr_t>(part), step); }

void AppState::transferProgress(size_t acknowledged, size_t total) {
  if (auto target = this->target()) {
    target->post(AppMessage{UM_TRANSFER_PROGRESS, acknowledged, static_cast<intptr_t>(total), {}});
  }
}

void AppState::systemProgress(int stage, int subState, int value) {
  uintptr_t w = (static_cast<uintptr_t>(stage & 0xFF) << 8) | static_cast<uintptr_t>(subState & 0xFF);
  send(UM_SYSTEM_PROGRESS, w, value);
}
