#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

// Sockets of the test's own, on loopback addresses only.
namespace testsupport {

// A non-blocking socket bound to dotted:port (port 0: an ephemeral one) with
// SO_REUSEADDR, so it may share a datagram port with the virtual device; a
// stream socket also listens. fd() is -1 when any step failed.
class LocalSocket {
 public:
  explicit LocalSocket(int type, const char* dotted = "127.0.0.1", uint16_t port = 0) {
    fd_ = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    const int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, dotted, &a.sin_addr);
    socklen_t len = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
        (type == SOCK_STREAM && ::listen(fd_, 8) != 0)) {
      closeNow();
      return;
    }
    port_ = ntohs(a.sin_port);
  }
  ~LocalSocket() { closeNow(); }
  LocalSocket(const LocalSocket&) = delete;
  LocalSocket& operator=(const LocalSocket&) = delete;

  void closeNow() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd() const { return fd_; }
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

inline bool readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) == 1;
}

// A port free at the time of the call.
inline uint16_t freePort(int type, const char* dotted) { return LocalSocket(type, dotted).port(); }

// Up to count bytes, waiting at most ms for each read.
inline std::vector<uint8_t> receiveExactly(int fd, size_t count, int ms = 3000) {
  std::vector<uint8_t> out(count);
  size_t done = 0;
  while (done < count && readable(fd, ms)) {
    ssize_t n = ::recv(fd, out.data() + done, count - done, 0);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  out.resize(done);
  return out;
}

}  // namespace testsupport
