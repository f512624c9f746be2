// One complete device read (device side and online versions) through the
// device-information task, against the virtual device on loopback TCP and the
// local web services: from the start of the task to its last phase-2 report.
// The task's fixed closing pause comes after that report and is not counted.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "SimEnvironment.h"
#include "VirtualDevice.h"
#include "WebServices.h"
#include "app/AppState.h"
#include "app/Messages.h"
#include "app/MessageTarget.h"
#include "app/TextNotifier.h"
#include "schedule/ScheduleManager.h"
#include "task/DevInfoReader.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kReadLimit = 60s;

// The simulator, started once: the product reads the device's endpoints only
// once per process. The pty stays on: its entry in the USB list is what makes
// the default session go to the device's address.
struct Rig {
  sim::VirtualDevice device;
  sim::WebServices web;
  bool ok = false;

  Rig() : device(sim::DeviceConfig{.serialNumber = "5RHM10000001"}, sim::LinkConfig{.discovery = false}) {
    ok = device.start() && web.start();
    if (ok) sim::applyEnvironment(sim::simEnvironment(&device, &web));
  }
};

Rig& rig() {
  static Rig* instance = new Rig();
  return *instance;
}

// Counts the phase-2 reports of one read; the second one ends it.
class Window {
 public:
  Window() {
    target_ = std::make_shared<QueuedMessageTarget>([this](const AppMessage& m) {
      if (m.id != UM_DEVICE_INFO) return;
      std::lock_guard<std::mutex> guard(lock_);
      if (m.lParam == 2 || m.lParam == 3) {
        ++finished_;
        failed_ = failed_ || m.lParam == 3;
        changed_.notify_all();
      }
    });
    AppState::getInstance().setTarget(target_);
    TextNotifier::getInstance().setTarget(target_);
  }
  ~Window() {
    AppState::getInstance().setTarget(nullptr);
    TextNotifier::getInstance().setTarget(nullptr);
    target_->shutdown();
  }

  void reset() {
    std::lock_guard<std::mutex> guard(lock_);
    finished_ = 0;
    failed_ = false;
  }
  // True when the read ended with its second phase 2.
  bool waitRead() {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, kReadLimit, [&] { return finished_ >= 2 || failed_; });
    return finished_ >= 2 && !failed_;
  }

 private:
  std::mutex lock_;  // guards finished_ and failed_
  std::condition_variable changed_;
  int finished_ = 0;
  bool failed_ = false;
  std::shared_ptr<QueuedMessageTarget> target_;
};

void waitTaskIdle() {
  auto end = Clock::now() + kReadLimit;
  while (ScheduleManager::getInstance().getRunningTask(kWorkerDevInfo) != -1 && Clock::now() < end) {
    std::this_thread::sleep_for(5ms);
  }
}

void DeviceInfoRead(benchmark::State& state) {
  if (!rig().ok) {
    state.SkipWithError("simulator did not start");
    return;
  }
  ScheduleManager& scheduler = ScheduleManager::getInstance();
  scheduler.createWorker(kWorkerDevInfo);
  scheduler.addTask(kWorkerDevInfo, kTaskDevInfoReader, std::make_shared<DevInfoReader>());
  Window window;
  double totalMs = 0;
  int reads = 0;
  for (auto _ : state) {
    window.reset();
    auto start = Clock::now();
    if (scheduler.runTask(kTaskDevInfoReader) != 0 || !window.waitRead()) {
      state.SkipWithError("device read failed");
      break;
    }
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    state.SetIterationTime(ms / 1000.0);
    totalMs += ms;
    ++reads;
    waitTaskIdle();
  }
  if (reads > 0) state.counters["read_ms"] = totalMs / reads;
  scheduler.removeTask(kWorkerDevInfo, kTaskDevInfoReader);
}

BENCHMARK(DeviceInfoRead)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace
