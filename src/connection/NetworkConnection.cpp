#include "connection/NetworkConnection.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>

#include "platform/Clock.h"
#include "platform/LoopbackGuard.h"
#include "utils/HexText.h"
#include "utils/LogFacade.h"

NetworkConnection::NetworkConnection(std::string host, int port, int datagram)
    : SocketConnection(datagram != 0), host_(std::move(host)), port_(port), datagram_(datagram) {}

bool NetworkConnection::Connect() {
  if (isConnected()) return true;
  close();

  // Checked before the lookup too: resolving a name may itself send a packet.
  if (!platform::destinationAllowed(host_)) {
    LOG_WARN("connect failed, errCode : %d", EACCES);
    platform::sleepFor(kRetryPause);
    return false;
  }

  // The resolver wraps an out-of-range port number onto another port.
  if (port_ < 1 || port_ > 65535) {
    LOG_WARN("addr is invalid, errCode : %d", EAI_SERVICE);
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = datagram_ ? SOCK_DGRAM : SOCK_STREAM;
  hints.ai_protocol = datagram_ ? IPPROTO_UDP : IPPROTO_TCP;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(host_.c_str(), std::to_string(port_).c_str(), &hints, &found);
  if (rc != 0 || !found) {
    LOG_WARN("addr is invalid, errCode : %d", rc == EAI_SYSTEM ? errno : rc);
    return false;
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, ::freeaddrinfo);

  if (attempt(found->ai_addr, found->ai_addrlen, found->ai_family, found->ai_socktype, found->ai_protocol))
    return true;
  platform::sleepFor(kRetryPause);
  return false;
}

bool NetworkConnection::attempt(const sockaddr* address, socklen_t length, int family, int type, int protocol) {
  if (!platform::destinationAllowed(address, length)) {
    LOG_WARN("connect failed, errCode : %d", EACCES);
    return false;
  }
  int fd = ::socket(family, type | SOCK_CLOEXEC, protocol);
  if (fd < 0) return false;
  int one = 1;
  int flags = -1;
  bool ready = ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0;
  if (ready && type == SOCK_STREAM) ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ready = ready && (flags = ::fcntl(fd, F_GETFL)) >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
  if (!ready || !connectServer(fd, address, length)) {
    ::close(fd);
    return false;
  }
  adopt(fd);
  return true;
}

bool NetworkConnection::connectServer(int fd, const sockaddr* address, socklen_t length) {
  if (::connect(fd, address, length) == 0) return true;
  const int err = errno;
  if (err != EINPROGRESS && err != EAGAIN && err != EINTR) {
    LOG_WARN("connect failed, errCode : %d", err);
    return false;
  }
  const int64_t deadline = platform::nowMs() + platform::scaled(kConnectWait).count();
  pollfd p{fd, POLLOUT, 0};
  int rc;
  do {
    int64_t left = deadline - platform::nowMs();
    rc = ::poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    LOG_INFO("connect error, errCode : %d", errno);
    return false;
  }
  if (rc == 0) {
    LOG_INFO("connect timeout, errCode : %d", err);
    return false;
  }
  int soError = 0;
  socklen_t size = sizeof soError;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &size) != 0) soError = errno;
  if (soError != 0) {
    LOG_INFO("connect timeout, errCode : %d", soError);
    return false;
  }
  return true;
}

int NetworkConnection::writeData(const uint8_t* bytes, size_t count) {
  int sent = sendAll(bytes, count);
  if (sent <= 0) return sent;
  if (static_cast<size_t>(sent) >= kLogBySizeFrom || writingSecret()) {
    LOG_INFO("send msg ok , size : %d", sent);
  } else {
    LOG_INFO("send : %s", toHexString(bytes, static_cast<size_t>(sent)).c_str());
  }
  return sent;
}
