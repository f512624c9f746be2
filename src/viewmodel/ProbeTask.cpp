#include "viewmodel/ProbeTask.h"

#include <utility>

void ProbeTask::setJob(std::function<void()> job) {
  std::lock_guard<std::mutex> guard(lock_);
  job_ = std::move(job);
}

void ProbeTask::run() {
  std::function<void()> job;
  {
    std::lock_guard<std::mutex> guard(lock_);
    job = std::exchange(job_, nullptr);
  }
  if (job) job();
}
