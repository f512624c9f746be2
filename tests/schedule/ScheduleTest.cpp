#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/Clock.h"
#include "schedule/ScheduleManager.h"

namespace {

using namespace std::chrono_literals;

// Long enough never to fire on a loaded machine; a wait that times out fails
// the test instead of hanging it.
constexpr auto kWaitLimit = 20s;

// A task whose runs can be held until the test lets each one finish.
class GatedTask : public Task {
 public:
  explicit GatedTask(bool gated = true) : gated_(gated) {}

  void run() override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++started_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !gated_ || released_ >= started_; });
    ++finished_;
    changed_.notify_all();
  }

  void release() { locked([&] { return ++released_; }); }
  bool waitStarted(int n) { return waitFor([&] { return started_ >= n; }); }
  bool waitFinished(int n) { return waitFor([&] { return finished_ >= n; }); }
  int started() { return locked([&] { return started_; }); }
  int finished() { return locked([&] { return finished_; }); }

 private:
  // Runs f under the lock and wakes every waiter.
  template <class F>
  int locked(F f) {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
    return f();
  }
  template <class Pred>
  bool waitFor(Pred pred) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kWaitLimit, pred);
  }

  const bool gated_;
  std::mutex mutex_;  // guards the counters
  std::condition_variable changed_;
  int started_ = 0;
  int released_ = 0;
  int finished_ = 0;
};

class ThrowingTask : public Task {
 public:
  void run() override { throw std::runtime_error("device gone"); }
};

// The scheduler is one per process; every test takes fresh worker and task
// ids so the tests also hold when run together in one process.
class ScheduleTest : public ::testing::Test {
 protected:
  ScheduleManager& sm = ScheduleManager::getInstance();

  int newWorker() {
    static int next = 100;
    int id = next++;
    EXPECT_EQ(sm.createWorker(id), 0);
    return id;
  }
  static int newTaskId() {
    static int next = 1000;
    return next++;
  }
  std::shared_ptr<GatedTask> addGated(int worker, int taskId, bool gated = true) {
    auto task = std::make_shared<GatedTask>(gated);
    EXPECT_EQ(sm.addTask(worker, taskId, task), 0);
    return task;
  }
  // Returns once the worker has finished everything started before and is
  // idle: a task with a higher id than any other is picked after every ready one.
  void drain(int worker) {
    static int next = 10000000;
    int id = next++;
    auto last = addGated(worker, id, false);
    ASSERT_EQ(sm.runTask(id), 0);
    ASSERT_TRUE(last->waitFinished(1));
    // The worker marks a task idle just after its run returns.
    auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (last->getState() != Task::Idle && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    ASSERT_EQ(last->getState(), Task::Idle);
  }
};

TEST_F(ScheduleTest, AddTask_unknownWorkerOrDuplicateId_refusedAndOriginalKept_throwingTaskLeavesTheWorker) {
  int w = newWorker();
  int id = newTaskId();
  EXPECT_EQ(sm.addTask(-77, id, std::make_shared<GatedTask>(false)), -1);
  auto original = addGated(w, id, false);
  auto duplicate = std::make_shared<GatedTask>(false);
  EXPECT_EQ(sm.addTask(w, id, duplicate), -1);

  ASSERT_EQ(sm.runTask(id), 0);
  ASSERT_TRUE(original->waitFinished(1));
  drain(w);
  EXPECT_EQ(duplicate->started(), 0);

  // A task that throws leaves its worker running and can run again.
  const int badId = newTaskId();
  auto bad = std::make_shared<ThrowingTask>();
  ASSERT_EQ(sm.addTask(w, badId, bad), 0);
  ASSERT_EQ(sm.runTask(badId), 0);
  drain(w);
  EXPECT_EQ(bad->getState(), Task::Idle);
  EXPECT_EQ(sm.runTask(badId), 0);
}

TEST_F(ScheduleTest, OneWorker_runsItsTasksOneAfterTheOther_refusesARunAlreadyQueued_removedWaitingTaskNeverRuns) {
  int w = newWorker();
  int blockerId = newTaskId(), id = newTaskId();
  auto blocker = addGated(w, blockerId);
  auto task = addGated(w, id);

  ASSERT_EQ(sm.runTask(blockerId), 0);
  ASSERT_TRUE(blocker->waitStarted(1));
  EXPECT_EQ(sm.runTask(id), 0);
  EXPECT_EQ(sm.runTask(id), -1);
  EXPECT_EQ(task->getState(), Task::Ready);
  EXPECT_EQ(sm.getRunningTask(w), blockerId);
  EXPECT_EQ(task->started(), 0) << "a second task ran beside the first on one worker";
  // A queued task removed before its turn never runs.
  const int removedId = newTaskId();
  auto removed = addGated(w, removedId, false);
  ASSERT_EQ(sm.runTask(removedId), 0);
  EXPECT_EQ(sm.removeTask(w, removedId), 0);

  blocker->release();
  ASSERT_TRUE(task->waitStarted(1));
  EXPECT_EQ(sm.runTask(id), -1);
  EXPECT_EQ(task->getState(), Task::Running);
  task->release();
  drain(w);
  EXPECT_EQ(task->started(), 1);
  EXPECT_EQ(removed->started(), 0);
  EXPECT_EQ(task->getState(), Task::Idle);

  ASSERT_EQ(sm.runTask(id), 0);
  ASSERT_TRUE(task->waitStarted(2));
  task->release();
  ASSERT_TRUE(task->waitFinished(2));
}

TEST_F(ScheduleTest, RemoveTask_running_returnsOnlyAfterRunEnded) {
  platform::setTimeScale(0.01);
  int w = newWorker();
  int id = newTaskId();
  auto task = addGated(w, id);
  ASSERT_EQ(sm.runTask(id), 0);
  ASSERT_TRUE(task->waitStarted(1));

  // The pause only gives removeTask time to be waiting; the check below holds
  // however the threads are scheduled.
  std::thread releaser([&] {
    std::this_thread::sleep_for(100ms);
    task->release();
  });
  EXPECT_EQ(sm.removeTask(w, id), 0);
  EXPECT_EQ(task->finished(), 1);
  releaser.join();

  EXPECT_EQ(sm.runTask(id), -1);
  EXPECT_EQ(sm.getRunningTask(w), -1);
  platform::setTimeScale(1.0);
}

}  // namespace
