#pragma once
#include "platform/NetworkAdapters.h"

#include <atomic>
#include <mutex>

// An adapter list a test sets by hand; readable() false makes list() fail.
class FakeNetworkAdapters : public platform::NetworkAdapters {
 public:
  explicit FakeNetworkAdapters(std::vector<platform::AdapterAddress> addresses = {}, bool readable = true)
      : addresses_(std::move(addresses)), readable_(readable) {}

  bool list(std::vector<platform::AdapterAddress>& out) override {
    ++calls;
    std::lock_guard<std::mutex> lock(mutex_);
    out.clear();
    if (!readable_) return false;
    out = addresses_;
    return true;
  }

  void set(std::vector<platform::AdapterAddress> addresses, bool readable = true) {
    std::lock_guard<std::mutex> lock(mutex_);
    addresses_ = std::move(addresses);
    readable_ = readable;
  }

  std::atomic<int> calls{0};

 private:
  std::mutex mutex_;  // guards addresses_, readable_
  std::vector<platform::AdapterAddress> addresses_;
  bool readable_;
};
