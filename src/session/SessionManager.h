#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "schedule/Task.h"
#include "session/Frame.h"
#include "session/Session.h"

// The one owner of all sessions. Hands out session ids, creates sessions for
// endpoints (or returns the one already serving an endpoint), and runs the
// receive worker (task 0 on worker 1, "SCH_SESSMGR") that connects, reads and
// cuts every session. Requesters talk to the device only through sendFrame
// and recvFrame.
//
// Lock order: lock_ before any session's locks. The worker holds lock_ only
// to copy and to prune the table and to announce a connect; it connects and reads with the session's
// own locks, which also keep a read and a write of one link apart. recvFrame
// never holds lock_ while it waits; it keeps the session alive by its own
// reference.
class SessionManager : public Task, public std::enable_shared_from_this<SessionManager> {
 public:
  static std::shared_ptr<SessionManager> getInstance();

  // Starts the receive worker; 0 when it runs (or already ran).
  int init();

  int createNetworkSession(const std::string& host, int port, int datagram);
  int createBluetoothSession(const std::string& address);
  int createSerialSession(const std::string& portName);

  int sendFrame(int sessionId, const Frame& frame);
  // Waits up to timeoutMs (scaled) for a filed frame with cmd and sub.
  int recvFrame(int sessionId, Frame& out, uint8_t cmd, uint8_t sub, int timeoutMs);
  // The same for the reply with this serial only; replies of the pair with
  // another serial answer an earlier request and are dropped.
  int recvReply(int sessionId, Frame& out, uint8_t cmd, uint8_t sub, uint8_t serial, int timeoutMs);
  // Drops the frames with cmd and sub that wait to be claimed: replies to
  // earlier requests. The number dropped; 0 for an unknown session.
  int dropFiledFrames(int sessionId, uint8_t cmd, uint8_t sub);
  bool isSessionConnected(int sessionId);
  // Waits up to timeout (not scaled) for the receive worker to connect the
  // session; true once it is connected.
  bool waitConnected(int sessionId, std::chrono::milliseconds timeout);
  int closeSession(int sessionId);
  int closeAllSessions();

  // The receive worker loop.
  void run() override;
  void stop() override;

 private:
  // Which sessions the last wait found readable. Sessions not watched then
  // are checked again when the read pass reaches them.
  struct Readiness {
    std::vector<int> watched;  // ids whose descriptor was polled
    std::vector<int> ready;    // ids whose descriptor turned readable
  };

  using SessionList = std::vector<std::pair<int, std::shared_ptr<Session>>>;

  SessionManager();
  // Ends the worker's current wait early (a session was added, or stop).
  void wakeWorker();

  int addSession(std::shared_ptr<Session> session);  // lock_ held
  int receive(int sessionId, Frame& out, uint8_t cmd, uint8_t sub, int serial, int timeoutMs);
  std::shared_ptr<Session> findSession(int sessionId);
  // Read pass over a copy of the table, without lock_: bytes read in all.
  int readData(const SessionList& sessions, const Readiness& readiness);
  // Removes invalid sessions that have nothing left to claim. lock_ held.
  void clearInvailedSessions();
  // Waits up to `timeout` for a watched descriptor to turn readable, or for
  // wakeWorker.
  Readiness waitReadable(const std::vector<std::pair<int, int>>& watch, std::chrono::milliseconds timeout);

  std::mutex initLock_;  // serialises init; guards workerCreated_ and taskAdded_
  bool workerCreated_ = false;
  bool taskAdded_ = false;
  std::atomic<int> running_{0};
  const int wakeEvent_;  // eventfd behind wakeWorker; -1 if none could be made

  std::mutex lock_;  // guards sessions_ and nextId_
  std::condition_variable sessionAdded_;
  std::condition_variable sessionConnected_;  // the worker connected a session
  std::map<int, std::shared_ptr<Session>> sessions_;
  int nextId_ = 0;
};
