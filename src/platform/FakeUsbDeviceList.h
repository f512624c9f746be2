#pragma once
#include "platform/UsbDevices.h"

#include <mutex>
#include <utility>

// For tests: a USB device list set by hand; setDevices reports the difference to
// a running monitor at once, on the caller's thread.
class FakeUsbDeviceList : public platform::UsbDeviceList {
 public:
  explicit FakeUsbDeviceList(std::vector<platform::UsbDevice> devices = {}) : devices_(std::move(devices)) {}

  std::vector<platform::UsbDevice> presentDevices() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return devices_;
  }

  bool startMonitor(platform::UsbMonitorCallback callback) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (callback_ || !callback) return false;
    callback_ = std::move(callback);
    return true;
  }

  void stopMonitor() override {
    std::lock_guard<std::mutex> lock(mutex_);
    callback_ = nullptr;
  }

  void setDevices(std::vector<platform::UsbDevice> devices) {
    platform::UsbMonitorCallback callback;
    std::vector<platform::UsbDevice> before;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      before = std::exchange(devices_, devices);
      callback = callback_;
    }
    if (callback) platform::reportUsbChanges(before, devices, callback);
  }

 private:
  std::mutex mutex_;  // guards devices_, callback_
  std::vector<platform::UsbDevice> devices_;
  platform::UsbMonitorCallback callback_;
};
