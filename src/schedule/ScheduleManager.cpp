#include "schedule/ScheduleManager.h"

#include <chrono>
#include <exception>
#include <vector>

#include "platform/Clock.h"
#include "utils/LogFacade.h"

namespace {
// removeTask looks at a running task's state this often.
constexpr auto kRemovePollInterval = std::chrono::milliseconds(1000);
}  // namespace

ScheduleManager& ScheduleManager::getInstance() {
  // Workers are never stopped or joined: the instance lives until the process ends.
  static ScheduleManager* instance = new ScheduleManager();
  return *instance;
}

ScheduleManager::Worker* ScheduleManager::findWorker(int workerId) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = workers_.find(workerId);
  return it == workers_.end() ? nullptr : it->second.get();
}

int ScheduleManager::createWorker(int workerId) {
  std::lock_guard<std::mutex> guard(lock_);
  if (workers_.count(workerId)) return -1;
  auto worker = std::make_unique<Worker>();
  worker->running = 1;
  try {
    worker->thread = std::thread(&ScheduleManager::workerLoop, worker.get());
  } catch (const std::system_error&) {
    return -1;
  }
  worker->thread.detach();
  workers_[workerId] = std::move(worker);
  return 0;
}

int ScheduleManager::addTask(int workerId, int taskId, std::shared_ptr<Task> task) {
  Worker* worker = findWorker(workerId);
  if (!worker || !task) return -1;
  std::lock_guard<std::mutex> guard(worker->lock);
  if (worker->tasks.count(taskId)) {
    LOG_WARN("add task failed, task id: %d", taskId);
    return -1;
  }
  worker->tasks[taskId] = std::move(task);
  return 0;
}

int ScheduleManager::runTask(int taskId) {
  std::vector<Worker*> all;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& [id, w] : workers_) all.push_back(w.get());
  }
  for (Worker* worker : all) {
    std::lock_guard<std::mutex> guard(worker->lock);
    auto it = worker->tasks.find(taskId);
    if (it == worker->tasks.end()) continue;
    if (it->second->setState(Task::Ready) != 0) continue;
    worker->taskReady.notify_all();
    return 0;
  }
  return -1;
}

int ScheduleManager::setTaskParam(int taskId, const std::string& key, const std::string& value) {
  std::vector<Worker*> all;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& [id, w] : workers_) all.push_back(w.get());
  }
  for (Worker* worker : all) {
    std::shared_ptr<Task> task;
    {
      std::lock_guard<std::mutex> guard(worker->lock);
      auto it = worker->tasks.find(taskId);
      if (it == worker->tasks.end()) continue;
      task = it->second;
    }
    // Outside the worker lock: a task's setParam may wake its own waiting.
    task->setParam(key, value);
    return 0;
  }
  return -1;
}

int ScheduleManager::removeTask(int workerId, int taskId) {
  Worker* worker = findWorker(workerId);
  if (!worker) return 0;
  std::shared_ptr<Task> target;
  for (;;) {
    {
      // The check and the erase share the worker lock, which the worker holds
      // while it picks a task: a task cannot start between them.
      std::lock_guard<std::mutex> guard(worker->lock);
      auto it = worker->tasks.find(taskId);
      if (it == worker->tasks.end()) return 0;
      // Someone else removed it and registered another under the same id.
      if (target && it->second != target) return 0;
      target = it->second;
      if (it->second->getState() != Task::Running) {
        worker->tasks.erase(it);
        return 0;
      }
    }
    platform::sleepFor(kRemovePollInterval);
  }
}

int ScheduleManager::getRunningTask(int workerId) {
  Worker* worker = findWorker(workerId);
  if (!worker) return -1;
  std::lock_guard<std::mutex> guard(worker->lock);
  for (auto& [id, task] : worker->tasks) {
    if (task->getState() == Task::Running) return id;
  }
  return -1;
}

void ScheduleManager::workerLoop(Worker* worker) {
  while (worker->running == 1) {
    std::shared_ptr<Task> task;
    {
      std::unique_lock<std::mutex> guard(worker->lock);
      worker->taskReady.wait(guard, [&] {
        for (auto& [id, t] : worker->tasks) {
          if (t->getState() == Task::Ready) {
            task = t;
            return true;
          }
        }
        return false;
      });
      task->setState(Task::Running);
    }
    // An escaping exception would end the process from a detached thread and
    // leave the task marked running.
    try {
      task->run();
    } catch (const std::exception& e) {
      LOG_ERROR("task ended by exception: %s", e.what());
    } catch (...) {
      LOG_ERROR("task ended by unknown exception");
    }
    task->setState(Task::Idle);
  }
}
