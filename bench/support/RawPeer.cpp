#include "support/RawPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "session/Frame.h"

namespace benchpeer {
namespace {

void noDelay(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace

void answerFrames(int fd) {
  std::vector<uint8_t> request(Frame::kMaxSize);
  for (;;) {
    if (!readExactly(fd, request.data(), 6)) return;
    size_t size = static_cast<size_t>((request[4] << 8) | request[5]) + 7;
    if (size < Frame::kMinSize || !readExactly(fd, request.data() + 6, size - 6)) return;
    uint8_t reply[kAckSize] = {0x55, 0xAA, 0xF8, 0xF0, 0x00, 0x04, request[6], static_cast<uint8_t>(request[7] + 0x40),
                               request[8], 0x00, 0};
    reply[kAckSize - 1] = Frame::checksum(reply + 2, kAckSize - 3);
    if (!writeAll(fd, reply, sizeof reply)) return;
  }
}

bool readExactly(int fd, uint8_t* out, size_t count) {
  while (count > 0) {
    ssize_t n = ::read(fd, out, count);
    if (n <= 0) return false;
    out += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

bool writeAll(int fd, const uint8_t* bytes, size_t count) {
  while (count > 0) {
    ssize_t n = ::write(fd, bytes, count);
    if (n <= 0) return false;
    bytes += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

int rawConnect(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  noDelay(fd);
  return fd;
}

AckPeer::AckPeer() {
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(listener_, 8) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::perror("ack peer");
    std::abort();
  }
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

AckPeer::~AckPeer() {
  ::shutdown(listener_, SHUT_RDWR);
  ::close(listener_);
  acceptor_.join();
  std::lock_guard<std::mutex> guard(lock_);
  for (int fd : clients_) ::shutdown(fd, SHUT_RDWR);
  for (auto& t : responders_) t.join();
  for (int fd : clients_) ::close(fd);
}

void AckPeer::acceptLoop() {
  for (;;) {
    int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    noDelay(fd);
    std::lock_guard<std::mutex> guard(lock_);
    clients_.push_back(fd);
    responders_.emplace_back([fd] { answerFrames(fd); });
  }
}

}  // namespace benchpeer
