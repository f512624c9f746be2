#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// One message to a window: the number, its two parameters, and the text that
// UM_SHOW_TEXT carries (owned by the message, so a dropped message frees it).
struct AppMessage {
  unsigned id = 0;
  uintptr_t wParam = 0;
  intptr_t lParam = 0;
  std::string text;
};

// What a task talks to instead of a window. send() returns only after the
// target's own thread has handled the message; post() queues it.
class MessageTarget {
 public:
  virtual ~MessageTarget() = default;
  virtual void send(const AppMessage& message) = 0;
  virtual void post(AppMessage message) = 0;
};

// A target with a thread of its own that handles messages in order, for the
// console front end and for tests. A send from inside the handler (the
// target's own thread) is handled at once instead of deadlocking.
class QueuedMessageTarget : public MessageTarget {
 public:
  using Handler = std::function<void(const AppMessage&)>;
  explicit QueuedMessageTarget(Handler handler);
  ~QueuedMessageTarget() override;

  void send(const AppMessage& message) override;
  void post(AppMessage message) override;
  // Stops the thread after the messages already queued; later messages are dropped.
  void shutdown();

 private:
  struct Item {
    AppMessage message;
    bool* done = nullptr;  // set under lock_ when a send was handled
  };
  void loop();

  Handler handler_;
  std::mutex lock_;  // guards queue_, stopping_ and the done flags
  std::condition_variable changed_;
  std::deque<Item> queue_;
  bool stopping_ = false;
  std::thread::id threadId_;
  std::thread thread_;
};
