#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/AppState.h"
#include "app/DeviceInfo.h"
#include "app/J2534Device.h"
#include "app/Messages.h"
#include "app/MessageTarget.h"
#include "app/TextNotifier.h"

namespace testsupport {

// Stands in for the main window: registers itself with AppState and
// TextNotifier and keeps, in arrival order, every device-information record
// with its phase, every scan result with the list AppState held while it was
// handled, every firmware progress step and every shown text.
class WindowRecorder {
 public:
  struct Report {
    int phase;
    DeviceInfo info;
  };
  struct ScanReport {
    int result;
    J2534DeviceList devices;
  };
  using Steps = std::vector<std::pair<int, int>>;  // (part, step)

  WindowRecorder() {
    target_ = std::make_shared<QueuedMessageTarget>([this](const AppMessage& m) { record(m); });
    AppState::getInstance().setTarget(target_);
    TextNotifier::getInstance().setTarget(target_);
  }
  ~WindowRecorder() {
    AppState::getInstance().setTarget(nullptr);
    TextNotifier::getInstance().setTarget(nullptr);
    target_->shutdown();
  }
  WindowRecorder(const WindowRecorder&) = delete;
  WindowRecorder& operator=(const WindowRecorder&) = delete;

  bool waitReports(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return reports_.size() >= count; });
  }
  bool waitScans(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return scans_.size() >= count; });
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
  std::vector<ScanReport> scans() {
    std::lock_guard<std::mutex> guard(lock_);
    return scans_;
  }
  Steps steps() {
    std::lock_guard<std::mutex> guard(lock_);
    return steps_;
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
  void record(const AppMessage& m) {
    // Read outside the lock: AppState may be busy sending the next message.
    J2534DeviceList devices;
    if (m.id == UM_SCAN_DONE) devices = AppState::getInstance().devices();
    std::lock_guard<std::mutex> guard(lock_);
    if (m.id == UM_DEVICE_INFO && m.wParam != 0) {
      reports_.push_back({static_cast<int>(m.lParam), *reinterpret_cast<const DeviceInfo*>(m.wParam)});
    } else if (m.id == UM_SCAN_DONE) {
      scans_.push_back({static_cast<int>(static_cast<intptr_t>(m.wParam)), std::move(devices)});
    } else if (m.id == UM_FIRMWARE_PROGRESS) {
      steps_.emplace_back(static_cast<int>(m.wParam), static_cast<int>(m.lParam));
    } else if (m.id == UM_SHOW_TEXT) {
      texts_.push_back(m.text);
      kinds_.push_back(static_cast<int>(m.wParam));
    }
    changed_.notify_all();
  }

  std::mutex lock_;  // guards the recorded lists
  std::condition_variable changed_;
  std::vector<Report> reports_;
  std::vector<ScanReport> scans_;
  Steps steps_;
  std::vector<std::string> texts_;
  std::vector<int> kinds_;
  std::shared_ptr<QueuedMessageTarget> target_;
};

}  // namespace testsupport
