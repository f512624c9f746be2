#include "connection/BroadcastSocket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/LoopbackGuard.h"

int BroadcastSocket::open(Step& failedStep) {
  close();
  failedStep = Step::Create;
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return errno;
  const int one = 1;
  int error = 0;
  int flags = 0;
  if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) {
    failedStep = Step::Broadcast;
    error = errno;
  } else if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
    failedStep = Step::ReuseAddress;
    error = errno;
  } else if ((flags = ::fcntl(fd, F_GETFL, 0)) < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    failedStep = Step::NonBlocking;
    error = errno;
  }
  if (error != 0) {
    ::close(fd);
    return error;
  }
  fd_ = fd;
  return 0;
}

void BroadcastSocket::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

long BroadcastSocket::sendTo(uint32_t ipv4NetworkOrder, uint16_t port, const uint8_t* bytes, size_t count) {
  if (fd_ < 0) return -EBADF;
  if (!platform::destinationAllowed(ipv4NetworkOrder)) return -EPERM;
  sockaddr_in dest{};
  dest.sin_family = AF_INET;
  dest.sin_port = htons(port);
  dest.sin_addr.s_addr = ipv4NetworkOrder;
  ssize_t n = ::sendto(fd_, bytes, count, 0, reinterpret_cast<const sockaddr*>(&dest), sizeof dest);
  return n < 0 ? -errno : static_cast<long>(n);
}

long BroadcastSocket::receiveFrom(uint32_t& fromAddr, uint8_t* buffer, size_t capacity) {
  if (fd_ < 0) return -EBADF;
  sockaddr_in from{};
  socklen_t length = sizeof from;
  ssize_t n = ::recvfrom(fd_, buffer, capacity, 0, reinterpret_cast<sockaddr*>(&from), &length);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    return -errno;
  }
  fromAddr = from.sin_family == AF_INET ? from.sin_addr.s_addr : 0;
  return static_cast<long>(n);
}
