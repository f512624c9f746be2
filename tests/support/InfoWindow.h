#pragma once
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/AppState.h"
#include "app/DeviceInfo.h"
#include "app/Messages.h"
#include "app/MessageTarget.h"
#include "app/TextNotifier.h"

namespace infotest {

// Stands in for the main window: keeps a copy of every UM_DEVICE_INFO record
// with its phase, and every UM_SHOW_TEXT text, in arrival order.
class InfoWindow {
 public:
  struct Report {
    int phase;
    DeviceInfo info;
  };

  InfoWindow() {
    target_ = std::make_shared<QueuedMessageTarget>([this](const AppMessage& m) {
      std::lock_guard<std::mutex> guard(lock_);
      if (m.id == UM_DEVICE_INFO && m.wParam != 0) {
        reports_.push_back({static_cast<int>(m.lParam), *reinterpret_cast<const DeviceInfo*>(m.wParam)});
      } else if (m.id == UM_SHOW_TEXT) {
        texts_.push_back(m.text);
        kinds_.push_back(static_cast<int>(m.wParam));
      }
      changed_.notify_all();
    });
    AppState::getInstance().setTarget(target_);
    TextNotifier::getInstance().setTarget(target_);
  }
  ~InfoWindow() {
    AppState::getInstance().setTarget(nullptr);
    TextNotifier::getInstance().setTarget(nullptr);
    target_->shutdown();
  }
  InfoWindow(const InfoWindow&) = delete;
  InfoWindow& operator=(const InfoWindow&) = delete;

  bool waitReports(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return reports_.size() >= count; });
  }
  std::vector<Report> reports() {
    std::lock_guard<std::mutex> guard(lock_);
    return reports_;
  }
  std::vector<int> phases() {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<int> out;
    for (const Report& r : reports_) out.push_back(r.phase);
    return out;
  }
  // Texts are posted: let the queue drain before reading them.
  std::vector<std::string> texts() {
    target_->send(AppMessage{});
    std::lock_guard<std::mutex> guard(lock_);
    return texts_;
  }
  std::vector<int> kinds() {
    target_->send(AppMessage{});
    std::lock_guard<std::mutex> guard(lock_);
    return kinds_;
  }
  size_t countText(const std::string& text) {
    size_t n = 0;
    for (const std::string& t : texts()) n += t == text;
    return n;
  }

 private:
  std::mutex lock_;  // guards reports_, texts_ and kinds_
  std::condition_variable changed_;
  std::vector<Report> reports_;
  std::vector<std::string> texts_;
  std::vector<int> kinds_;
  std::shared_ptr<QueuedMessageTarget> target_;
};

}  // namespace infotest
