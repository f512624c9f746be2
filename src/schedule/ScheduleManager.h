#pragma once
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "schedule/Task.h"

// Worker and task ids in use.
enum : int { kWorkerDevInfo = 0, kWorkerSessionManager = 1 };
enum : int {
  kTaskSessionManager = 0,
  kTaskDevScanner = 1,
  kTaskDevInfoReader = 2,
  kTaskFirmwareUpgrader = 3,
  kTaskSystemUpgrader = 4,
  kTaskConfigWifi = 5,
  kTaskProbe = 6,
};

// Named worker threads, each running its tasks one at a time.
class ScheduleManager {
 public:
  static ScheduleManager& getInstance();

  int createWorker(int workerId);
  int addTask(int workerId, int taskId, std::shared_ptr<Task> task);
  int runTask(int taskId);
  int setTaskParam(int taskId, const std::string& key, const std::string& value);
  // Waits (checking once a second) until the task is not running, then removes it.
  int removeTask(int workerId, int taskId);
  int getRunningTask(int workerId);

 private:
  struct Worker {
    std::mutex lock;  // guards tasks
    std::condition_variable taskReady;
    std::map<int, std::shared_ptr<Task>> tasks;
    std::thread thread;
    std::atomic<int> running{0};
  };

  ScheduleManager() = default;
  static void workerLoop(Worker* worker);
  Worker* findWorker(int workerId);

  std::mutex lock_;  // guards workers_ (changed only by createWorker)
  std::unordered_map<int, std::unique_ptr<Worker>> workers_;
};
