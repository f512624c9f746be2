#pragma once
#include <mutex>
#include <string>
#include <unordered_map>

// A unit of background work, registered once on a worker and started by id as
// often as needed. Inputs are named text parameters set before a start.
class Task {
 public:
  enum State : int { Ready = 0, Running = 1, Idle = 2 };
  using Params = std::unordered_map<std::string, std::string>;

  Task() = default;
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  virtual ~Task() = default;

  virtual void run() = 0;
  virtual void stop() {}
  virtual int setParams(const Params& params);
  virtual int setParam(const std::string& key, const std::string& value);

  int getState() const;
  // A running task may only become idle, a ready one only running; an idle
  // one may become anything. Refused changes return -1.
  int setState(int state);
  std::string getParam(const std::string& key) const;
  // Overwrites a secret parameter's bytes, then forgets it.
  void wipeParam(const std::string& key);
  void clearParams();

 private:
  mutable std::mutex lock_;  // guards state_ and params_
  int state_ = Idle;
  Params params_;
};
