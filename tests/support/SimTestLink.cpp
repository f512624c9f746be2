#include "support/SimTestLink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/FileUtils.h"

namespace simtest {

using Clock = std::chrono::steady_clock;

TestLink::~TestLink() { close(); }

bool TestLink::connectTcp(uint16_t port) {
  close();
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close();
    return false;
  }
  return true;
}

void TestLink::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  cutter_ = sim::FrameCutter();
}

bool TestLink::sendBytes(const std::vector<uint8_t>& bytes) {
  return platform::writeAll(fd_, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

bool TestLink::receive(Frame& out, uint8_t command, uint8_t subCommand, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (true) {
    Frame frame;
    while (cutter_.next(frame)) {
      if (frame.command() == command && frame.subCommand() == subCommand) {
        out = frame;
        return true;
      }
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    uint8_t buffer[8192];
    ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) return false;
    cutter_.append(buffer, static_cast<size_t>(n));
  }
}

bool TestLink::exchange(uint8_t command, uint8_t subCommand, const std::vector<uint8_t>& data, Frame& reply,
                        std::chrono::milliseconds timeout) {
  return send(request(command, subCommand, data)) &&
         receive(reply, static_cast<uint8_t>(command + 0x40), subCommand, timeout);
}

std::vector<std::vector<uint8_t>> TestLink::readChunks(std::chrono::milliseconds window) {
  std::vector<std::vector<uint8_t>> chunks;
  auto deadline = Clock::now() + window;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
    uint8_t buffer[8192];
    ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) break;
    chunks.emplace_back(buffer, buffer + n);
  }
  return chunks;
}

bool TestLink::waitClosed(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (fd_ >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    if (p.revents & (POLLHUP | POLLERR)) return true;
    uint8_t buffer[4096];
    ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return true;
  }
  return true;
}

Frame request(uint8_t command, uint8_t subCommand, const std::vector<uint8_t>& data) {
  Frame frame;
  uint8_t address = command == 0x2C ? 0xF1 : 0xF0;
  frame.build(address, 0xF8, command, subCommand, data.empty() ? nullptr : data.data(),
              static_cast<unsigned>(data.size()));
  return frame;
}

uint8_t status(const Frame& reply) {
  uint8_t value = 0xEE;
  readFirstByte(reply, value);
  return value;
}

}  // namespace simtest
