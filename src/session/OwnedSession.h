#pragma once
#include <functional>

// A session its holder opened and closes: the destructor closes it on every
// path unless release() handed it on. One thread uses it.
class OwnedSession {
 public:
  // Which sessions go when a new one is opened.
  enum class Replace {
    // Only the one held, and only when the new one is another session: a
    // session left behind would be reconnected by the receive worker for
    // nothing.
    kOwn,
    // Every session: the holder is the one user of the device now.
    kAll,
  };
  // The step at which the last open stopped.
  enum class Failure { kNone, kStart, kCreate, kConnect };

  OwnedSession() = default;
  ~OwnedSession() { close(); }
  OwnedSession(const OwnedSession&) = delete;
  OwnedSession& operator=(const OwnedSession&) = delete;

  // Starts the session manager, closes what replace says, makes a session
  // with create (one of SessionSelection's functions) and waits up to limitMs
  // (scaled) for the receive worker to connect it, giving up early once
  // cancelled() is true. 0 once connected, else the manager's non-zero start
  // result or -1, with failure() telling the step. A session that did not
  // connect in time is still held: the holder decides whether to try again.
  int open(const std::function<int()>& create, int limitMs, Replace replace,
           const std::function<bool()>& cancelled = {});
  // Holds id from now on (closing the one held before, if another).
  void adopt(int id);
  // Closes the session held; safe to call twice.
  void close();
  // Hands the session on without closing it: its id, or -1.
  int release();

  int id() const { return id_; }
  bool connected() const;
  Failure failure() const { return failure_; }

 private:
  int id_ = -1;
  Failure failure_ = Failure::kNone;
};
