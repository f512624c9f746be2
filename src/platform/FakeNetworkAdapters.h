#pragma once
#include "platform/NetworkAdapters.h"

#include <memory>
#include <mutex>

// For tests: an adapter list set by hand; readable() false makes list() fail.
class FakeNetworkAdapters : public platform::NetworkAdapters {
 public:
  explicit FakeNetworkAdapters(std::vector<platform::AdapterAddress> addresses = {}, bool readable = true)
      : addresses_(std::move(addresses)), readable_(readable) {}

  bool list(std::vector<platform::AdapterAddress>& out) override {
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

 private:
  std::mutex mutex_;  // guards addresses_, readable_
  std::vector<platform::AdapterAddress> addresses_;
  bool readable_;
};

inline platform::AdapterAddress adapterAddress(const char* name, const char* ip, const char* mask,
                                               const char* gateway = "0.0.0.0") {
  platform::AdapterAddress a;
  a.description = name;
  a.ip = ip;
  a.mask = mask;
  a.gateway = gateway;
  return a;
}

// Installs a list holding only loopback, so every LAN broadcast stays on this machine.
inline std::shared_ptr<FakeNetworkAdapters> useLoopbackAdapterOnly() {
  auto adapters = std::make_shared<FakeNetworkAdapters>(
      std::vector<platform::AdapterAddress>{adapterAddress("lo", "127.0.0.1", "255.0.0.0")});
  platform::setNetworkAdaptersForTest(adapters);
  return adapters;
}
