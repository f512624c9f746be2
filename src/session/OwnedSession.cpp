#include "session/OwnedSession.h"

#include "session/Exchange.h"
#include "session/SessionApi.h"

int OwnedSession::open(const std::function<int()>& create, int limitMs, Replace replace,
                       const std::function<bool()>& cancelled) {
  if (replace == Replace::kAll) {
    closeAllSessions();
    id_ = -1;
  }
  if (int rc = initSessionManager(); rc != 0) {
    failure_ = Failure::kStart;
    return rc;
  }
  adopt(create());
  if (id_ == -1) {
    failure_ = Failure::kCreate;
    return -1;
  }
  const bool up = waitSessionConnected(id_, limitMs, cancelled);
  failure_ = up ? Failure::kNone : Failure::kConnect;
  return up ? 0 : -1;
}

void OwnedSession::adopt(int id) {
  // The manager hands back the session already serving an endpoint.
  if (id != id_) close();
  id_ = id;
}

void OwnedSession::close() {
  if (id_ != -1) closeSession(id_);
  id_ = -1;
}

int OwnedSession::release() {
  const int id = id_;
  id_ = -1;
  return id;
}

bool OwnedSession::connected() const { return id_ != -1 && isSessionConnected(id_); }
