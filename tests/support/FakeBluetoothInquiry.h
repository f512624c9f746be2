#pragma once
#include "platform/BluetoothInquiry.h"

#include <mutex>

// An inquiry that answers what the test set: result 0 with devices, or -1
// with a reason. Records the inquiry lengths asked for.
class FakeBluetoothInquiry : public platform::BluetoothInquiry {
 public:
  int inquire(std::vector<platform::BluetoothDeviceFound>& out, int lengthUnits) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lengths_.push_back(lengthUnits);
    out.clear();
    if (result_ != 0) return result_;
    out = devices_;
    return 0;
  }

  std::string lastError() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return result_ != 0 ? error_ : std::string();
  }

  void succeedWith(std::vector<platform::BluetoothDeviceFound> devices) {
    std::lock_guard<std::mutex> lock(mutex_);
    result_ = 0;
    devices_ = std::move(devices);
  }

  void failWith(std::string reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    result_ = -1;
    error_ = std::move(reason);
  }

  std::vector<int> lengths() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lengths_;
  }

 private:
  mutable std::mutex mutex_;  // guards every field below
  int result_ = 0;
  std::vector<platform::BluetoothDeviceFound> devices_;
  std::string error_;
  std::vector<int> lengths_;
};
