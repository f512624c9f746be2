#pragma once
#include "platform/BluetoothInquiry.h"

#include <mutex>

// For tests: an inquiry that finds the devices the test set, and records the
// inquiry lengths asked for.
class FakeBluetoothInquiry : public platform::BluetoothInquiry {
 public:
  int inquire(std::vector<platform::BluetoothDeviceFound>& out, int lengthUnits) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lengths_.push_back(lengthUnits);
    out = devices_;
    return 0;
  }

  std::string lastError() const override { return {}; }

  void succeedWith(std::vector<platform::BluetoothDeviceFound> devices) {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_ = std::move(devices);
  }

  std::vector<int> lengths() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lengths_;
  }

 private:
  mutable std::mutex mutex_;  // guards devices_, lengths_
  std::vector<platform::BluetoothDeviceFound> devices_;
  std::vector<int> lengths_;
};
