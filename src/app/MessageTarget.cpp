#include "app/MessageTarget.h"

QueuedMessageTarget::QueuedMessageTarget(Handler handler) : handler_(std::move(handler)) {
  thread_ = std::thread(&QueuedMessageTarget::loop, this);
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait(guard, [&] { return threadId_ != std::thread::id(); });
}

QueuedMessageTarget::~QueuedMessageTarget() { shutdown(); }

void QueuedMessageTarget::shutdown() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_ && !thread_.joinable()) return;
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable() && std::this_thread::get_id() != threadId_) thread_.join();
}

void QueuedMessageTarget::send(const AppMessage& message) {
  if (std::this_thread::get_id() == threadId_) {
    handler_(message);
    return;
  }
  bool done = false;
  std::unique_lock<std::mutex> guard(lock_);
  if (stopping_) return;
  queue_.push_back(Item{message, &done});
  changed_.notify_all();
  changed_.wait(guard, [&] { return done; });
}

void QueuedMessageTarget::post(AppMessage message) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_) return;
    queue_.push_back(Item{std::move(message), nullptr});
  }
  changed_.notify_all();
}

void QueuedMessageTarget::loop() {
  std::unique_lock<std::mutex> guard(lock_);
  threadId_ = std::this_thread::get_id();
  changed_.notify_all();
  for (;;) {
    changed_.wait(guard, [&] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) break;
    Item item = std::move(queue_.front());
    queue_.pop_front();
    guard.unlock();
    handler_(item.message);
    guard.lock();
    if (item.done) {
      *item.done = true;
      changed_.notify_all();
    }
  }
  // Release senders that queued behind the stop.
  for (Item& item : queue_) {
    if (item.done) *item.done = true;
  }
  queue_.clear();
  changed_.notify_all();
}
