#include "connection/SocketConnection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/Clock.h"
#include "utils/HexText.h"
#include "utils/LogFacade.h"

namespace {

bool wouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

// Waits until the socket takes more bytes; false when the deadline passed.
bool waitWritable(int fd, int64_t deadline) {
  for (;;) {
    int64_t left = deadline - platform::nowMs();
    if (left <= 0) return false;
    pollfd p{fd, POLLOUT, 0};
    int rc = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, INT_MAX)));
    if (rc > 0) return true;  // an error condition also ends the wait; the next send reports it
    if (rc < 0 && errno != EINTR) return false;
  }
}

}  // namespace

SocketConnection::~SocketConnection() { SocketConnection::close(); }

void SocketConnection::close() {
  int fd = socket_.exchange(-1);
  if (fd >= 0) ::close(fd);
  setConnected(false);
}

void SocketConnection::adopt(int fd) {
  int old = socket_.exchange(fd);
  if (old >= 0) ::close(old);
  setConnected(true);
}

int SocketConnection::readData(uint8_t* buffer, size_t capacity) {
  int fd = socket_.load();
  if (fd < 0) return -1;
  if (!buffer || capacity == 0) return 0;  // recv of 0 bytes would look like a peer close
  ssize_t n = ::recv(fd, buffer, std::min<size_t>(capacity, INT_MAX), 0);
  if (n > 0) {
    LOG_INFO("recv : %s", toHexString(buffer, static_cast<size_t>(n)).c_str());
    return static_cast<int>(n);
  }
  if (n == 0) {
    if (datagram_) return 0;
    close();
    LOG_WARN("socket disconnect");
    return 0;
  }
  int err = errno;
  if (wouldBlock(err) || err == EINTR) return 0;
  close();
  LOG_WARN("socket error, errCode : %d", err);
  return -1;
}

int SocketConnection::sendAll(const uint8_t* bytes, size_t count) {
  int fd = socket_.load();
  if (fd < 0) return -1;
  if (!bytes || count == 0 || count > INT_MAX) return 0;
  const int64_t deadline = platform::nowMs() + platform::scaled(kSendDrainTimeout).count();
  size_t done = 0;
  int err = 0;
  while (done < count) {
    ssize_t n = ::send(fd, bytes + done, count - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    err = n < 0 ? errno : EPIPE;
    if (err == EINTR) continue;
    if (wouldBlock(err) && waitWritable(fd, deadline)) continue;
    break;
  }
  if (done == count) return static_cast<int>(done);
  // A frame cut short would leave the peer mid-frame: drop the link instead.
  close();
  LOG_WARN("socket error, errCode : %d", err);
  return -1;
}
