#include "session/SessionManager.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

#include "platform/Clock.h"
#include "schedule/ScheduleManager.h"
#include "utils/LogFacade.h"

namespace {

// Longest the worker waits for data after a pass that read nothing; it is
// also how often unconnected sessions are retried and links without a
// descriptor are read.
constexpr auto kIdlePause = std::chrono::milliseconds(10);
// The same wait when every session is connected and has a descriptor: data,
// a hang-up and a new session each wake the worker at once, so this only
// bounds how long a change nothing signals can go unnoticed.
constexpr auto kWatchedIdlePause = std::chrono::milliseconds(100);

bool contains(const std::vector<int>& ids, int id) { return std::find(ids.begin(), ids.end(), id) != ids.end(); }

bool readableNow(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && p.revents != 0;
}

}  // namespace

std::shared_ptr<SessionManager> SessionManager::getInstance() {
  // Never destroyed: the receive worker may still run while the process exits.
  static auto* instance = new std::shared_ptr<SessionManager>(new SessionManager());
  return *instance;
}

int SessionManager::init() {
  std::lock_guard<std::mutex> guard(initLock_);
  if (running_.load() == 1) return 0;
  ScheduleManager& scheduler = ScheduleManager::getInstance();
  if (!workerCreated_) {
    if (scheduler.createWorker(kWorkerSessionManager) != 0) {
      LOG_WARN("create worker SCH_SESSMGR false");
      return -1;
    }
    workerCreated_ = true;
  }
  if (!taskAdded_) {
    if (scheduler.addTask(kWorkerSessionManager, kTaskSessionManager, shared_from_this()) != 0) {
      LOG_WARN("create task SCH_SESSMGR false");
      return -1;
    }
    taskAdded_ = true;
  }
  running_.store(1);
  int rc = scheduler.runTask(kTaskSessionManager);
  if (rc != 0) running_.store(0);
  return rc;
}

void SessionManager::stop() {
  std::lock_guard<std::mutex> guard(lock_);
  running_.store(0);
  sessionAdded_.notify_all();
  wakeWorker();
}

SessionManager::SessionManager() : wakeEvent_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void SessionManager::wakeWorker() {
  if (wakeEvent_ < 0) return;
  uint64_t one = 1;
  (void)!::write(wakeEvent_, &one, sizeof one);
}

int SessionManager::addSession(std::shared_ptr<Session> session) {
  if (!session->hasConnection()) return -1;
  do {
    nextId_ = nextId_ == INT_MAX ? 1 : nextId_ + 1;
  } while (sessions_.count(nextId_));
  sessions_.emplace(nextId_, std::move(session));
  sessionAdded_.notify_all();
  wakeWorker();
  return nextId_;
}

// An invalid session is never re-used: it cannot connect again, so the
// endpoint gets a fresh one.
int SessionManager::createNetworkSession(const std::string& host, int port, int datagram) {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& [id, session] : sessions_) {
    if (session->getState() != Session::Invalid && session->matchesNetwork(host, port, datagram)) return id;
  }
  return addSession(std::make_shared<Session>(SessionEndpoint::network(host, port, datagram)));
}

int SessionManager::createBluetoothSession(const std::string& address) {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& [id, session] : sessions_) {
    if (session->getState() != Session::Invalid && session->matchesBluetooth(address)) return id;
  }
  return addSession(std::make_shared<Session>(SessionEndpoint::bluetooth(address)));
}

int SessionManager::createSerialSession(const std::string& portName) {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& [id, session] : sessions_) {
    if (session->getState() != Session::Invalid && session->matchesSerial(portName)) return id;
  }
  return addSession(std::make_shared<Session>(SessionEndpoint::serial(portName)));
}

std::shared_ptr<Session> SessionManager::findSession(int sessionId) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = sessions_.find(sessionId);
  return it == sessions_.end() ? nullptr : it->second;
}

int SessionManager::sendFrame(int sessionId, const Frame& frame) {
  // Written outside lock_: a large frame may take a while to drain, and the
  // session's I/O lock already keeps the write apart from the worker's reads.
  std::shared_ptr<Session> session = findSession(sessionId);
  if (!session || session->getState() == Session::Invalid) return -1;
  const bool watched = session->pollHandle() >= 0;
  const int rc = session->writeFrame(frame) < 1 ? -1 : 0;
  // A link that is polled only while a reply is awaited has just become
  // pollable: the worker's current wait does not know it yet.
  if (!watched && session->pollHandle() >= 0) wakeWorker();
  return rc;
}

int SessionManager::recvFrame(int sessionId, Frame& out, uint8_t cmd, uint8_t sub, int timeoutMs) {
  return receive(sessionId, out, cmd, sub, Session::kAnySerial, timeoutMs);
}

int SessionManager::recvReply(int sessionId, Frame& out, uint8_t cmd, uint8_t sub, uint8_t serial, int timeoutMs) {
  return receive(sessionId, out, cmd, sub, serial, timeoutMs);
}

int SessionManager::receive(int sessionId, Frame& out, uint8_t cmd, uint8_t sub, int serial, int timeoutMs) {
  LOG_INFO("recvFrame start");
  if (!findSession(sessionId)) {
    LOG_WARN("not find sessionid : %d", sessionId);
    return -1;
  }
  const int64_t start = platform::nowMs();
  const int64_t limit = platform::scaled(std::chrono::milliseconds(timeoutMs)).count();
  for (int64_t elapsed = 0; elapsed < limit; elapsed = platform::nowMs() - start) {
    std::shared_ptr<Session> session = findSession(sessionId);
    if (!session) {
      LOG_WARN("not find session : %d", sessionId);
      return -1;
    }
    // Wakes when a matching frame is filed or the session leaves the table.
    int dropped = 0;
    const int rc = session->awaitReply(out, cmd, sub, serial, limit - elapsed, &dropped);
    // The worker left this link to us while we waited.
    wakeWorker();
    if (rc == 2) LOG_INFO("session %d become invalid", sessionId);
    for (int i = 0; i < dropped; ++i) LOG_INFO("dropped a stale reply %02x %02x", cmd, sub);
    if (rc == 0) {
      LOG_INFO("recv frame cmd : %02x %02x ", cmd, sub);
      return 0;
    }
  }
  LOG_INFO("recv msg timeout, cmd : %02x %02x, session : %d", cmd, sub, sessionId);
  return -1;
}

int SessionManager::dropFiledFrames(int sessionId, uint8_t cmd, uint8_t sub) {
  std::shared_ptr<Session> session = findSession(sessionId);
  if (!session) return 0;
  const int dropped = session->dropFiledFrames(cmd, sub);
  for (int i = 0; i < dropped; ++i) LOG_INFO("dropped a stale reply %02x %02x", cmd, sub);
  return dropped;
}

bool SessionManager::isSessionConnected(int sessionId) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = sessions_.find(sessionId);
  return it != sessions_.end() && it->second->isConnected();
}

bool SessionManager::waitConnected(int sessionId, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  return sessionConnected_.wait_for(guard, timeout, [&] {
    auto it = sessions_.find(sessionId);
    return it != sessions_.end() && it->second->isConnected();
  });
}

int SessionManager::closeSession(int sessionId) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = sessions_.find(sessionId);
  if (it == sessions_.end()) return -1;
  // The link closes when the last reference goes; a requester still waiting
  // is woken so it can see the session is gone.
  it->second->withdraw();
  sessions_.erase(it);
  return 0;
}

int SessionManager::closeAllSessions() {
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& [id, session] : sessions_) {
    session->close();
    session->withdraw();
  }
  sessions_.clear();
  return 0;
}

int SessionManager::readData(const SessionList& sessions, const Readiness& readiness) {
  int total = 0;
  for (auto& [id, session] : sessions) {
    if (!session->isConnected()) continue;
    // A link with a descriptor is read only when it has data, so no read
    // blocks the pass (a serial read may wait up to 2 s); while a requester
    // waits on it, the requester reads it.
    int fd = session->pollHandle();
    if (fd >= 0 && session->hasWaiter()) continue;
    if (fd >= 0) {
      bool readable = contains(readiness.watched, id) ? contains(readiness.ready, id) : readableNow(fd);
      if (!readable) continue;
    }
    int n = session->readData();
    if (n < 0) {
      LOG_INFO("session %d become invalid", id);
      // Whatever arrived before the failure may still hold a reply.
      session->parseFrame();
      continue;
    }
    if (n == 0) continue;
    total += n;
    session->parseFrame();
  }
  return total;
}

void SessionManager::clearInvailedSessions() {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (it->second->getState() == Session::Invalid && !it->second->hasPendingData()) {
      LOG_INFO("clear invailed session %d ", it->first);
      it->second->withdraw();
      it = sessions_.erase(it);
    } else {
      ++it;
    }
  }
}

SessionManager::Readiness SessionManager::waitReadable(const std::vector<std::pair<int, int>>& watch,
                                                       std::chrono::milliseconds timeout) {
  Readiness readiness;
  std::vector<pollfd> fds;
  fds.reserve(watch.size() + 1);
  for (auto& [id, fd] : watch) {
    fds.push_back(pollfd{fd, POLLIN, 0});
    readiness.watched.push_back(id);
  }
  if (wakeEvent_ >= 0) fds.push_back(pollfd{wakeEvent_, POLLIN, 0});
  int rc = ::poll(fds.data(), fds.size(), static_cast<int>(timeout.count()));
  if (rc <= 0) return readiness;  // time-out or EINTR: nothing known to be readable
  for (size_t i = 0; i < watch.size(); ++i) {
    if (fds[i].revents != 0) readiness.ready.push_back(watch[i].first);
  }
  if (wakeEvent_ >= 0 && fds.back().revents != 0) {
    uint64_t count;
    (void)!::read(wakeEvent_, &count, sizeof count);
  }
  return readiness;
}

void SessionManager::run() {
  Readiness readiness;
  while (running_.load() == 1) {
    SessionList sessions;
    {
      std::unique_lock<std::mutex> guard(lock_);
      sessionAdded_.wait(guard, [&] { return !sessions_.empty() || running_.load() != 1; });
      if (running_.load() != 1) break;
      sessions.assign(sessions_.begin(), sessions_.end());
    }
    // Connect and read without lock_: a connect can take seconds, and each
    // session's I/O lock already keeps a read and a write of one link apart,
    // so sends to any session go on meanwhile.
    bool connected = false;
    for (auto& [id, session] : sessions) {
      if (!session->isConnected() && session->getState() != Session::Invalid) connected |= session->connect();
    }
    if (connected) {
      // Under lock_, so a waiter between its check and its wait cannot miss it.
      std::lock_guard<std::mutex> guard(lock_);
      sessionConnected_.notify_all();
    }
    int total = readData(sessions, readiness);
    {
      std::lock_guard<std::mutex> guard(lock_);
      clearInvailedSessions();
    }
    std::vector<std::pair<int, int>> watch;
    bool allWatched = true;
    for (auto& [id, session] : sessions) {
      int fd = session->pollHandle();
      if (fd >= 0 && session->hasWaiter()) {
        continue;  // its requester reads it, and wakes us when it leaves
      } else if (fd >= 0) {
        watch.emplace_back(id, fd);
      } else {
        allWatched = false;  // to connect, to read blindly, or invalid
      }
    }
    sessions.clear();  // a closed session goes as soon as the table lets it go

    if (total > 0) {
      readiness = waitReadable(watch, std::chrono::milliseconds(0));
    } else if (!readiness.ready.empty()) {
      // Readable yet nothing read (a peer that hung up, say): pause as if
      // nothing were watched, or poll would spin.
      platform::sleepFor(kIdlePause);
      readiness = waitReadable(watch, std::chrono::milliseconds(0));
    } else {
      readiness = waitReadable(watch, platform::scaled(allWatched ? kWatchedIdlePause : kIdlePause));
    }
  }
}
