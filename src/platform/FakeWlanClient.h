#pragma once
#include "platform/WlanClient.h"

#include <mutex>
#include <set>

// For tests: a WLAN client over an in-memory table of interfaces and their networks.
// Each switch makes the matching call fail; every call is recorded in calls().
class FakeWlanClient : public platform::WlanClient {
 public:
  struct Interface {
    std::string name;
    std::vector<std::string> ssids;
  };

  explicit FakeWlanClient(std::vector<Interface> interfaces = {}) : interfaces_(std::move(interfaces)) {}

  int open() override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back("open");
    if (failOpen) return -1;
    open_ = true;
    return 0;
  }

  int enumInterfaces(std::vector<std::string>& names) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back("enumInterfaces");
    names.clear();
    if (!open_ || failEnum) return -1;
    for (const Interface& i : interfaces_) names.push_back(i.name);
    return 0;
  }

  int scan(const std::string& name) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back("scan " + name);
    return open_ && find(name) && !failScan.count(name) ? 0 : -1;
  }

  int availableNetworks(const std::string& name, std::vector<std::string>& ssids) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back("availableNetworks " + name);
    ssids.clear();
    const Interface* i = find(name);
    if (!open_ || !i || failList.count(name)) return -1;
    ssids = i->ssids;
    return 0;
  }

  void close() override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back("close");
    open_ = false;
  }

  std::string lastError() const override { return "fake failure"; }

  std::vector<std::string> calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

  // Set before the code under test runs.
  bool failOpen = false;
  bool failEnum = false;
  std::set<std::string> failScan;
  std::set<std::string> failList;

 private:
  const Interface* find(const std::string& name) const {
    for (const Interface& i : interfaces_) {
      if (i.name == name) return &i;
    }
    return nullptr;
  }

  mutable std::mutex mutex_;  // guards open_, calls_
  std::vector<Interface> interfaces_;
  bool open_ = false;
  std::vector<std::string> calls_;
};
