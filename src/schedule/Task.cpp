#include "schedule/Task.h"

#include <string.h>

int Task::setParams(const Params& params) {
  std::lock_guard<std::mutex> guard(lock_);
  params_ = params;
  return 0;
}

int Task::setParam(const std::string& key, const std::string& value) {
  std::lock_guard<std::mutex> guard(lock_);
  params_[key] = value;
  return 0;
}

int Task::getState() const {
  std::lock_guard<std::mutex> guard(lock_);
  return state_;
}

int Task::setState(int state) {
  std::lock_guard<std::mutex> guard(lock_);
  if (state_ == Running && state != Idle) return -1;
  if (state_ == Ready && state != Running) return -1;
  state_ = state;
  return 0;
}

std::string Task::getParam(const std::string& key) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = params_.find(key);
  return it == params_.end() ? std::string() : it->second;
}

void Task::clearParams() {
  std::lock_guard<std::mutex> guard(lock_);
  params_.clear();
}

void Task::wipeParam(const std::string& key) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = params_.find(key);
  if (it == params_.end()) return;
  explicit_bzero(it->second.data(), it->second.size());
  params_.erase(it);
}
