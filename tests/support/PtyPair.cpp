#include "support/PtyPair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

PtyPair::PtyPair() {
  int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return;
  char name[128];
  if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0 || ::ptsname_r(fd, name, sizeof name) != 0) {
    ::close(fd);
    return;
  }
  int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  master_ = fd;
  slavePath_ = name;
}

PtyPair::~PtyPair() { closeMaster(); }

void PtyPair::closeMaster() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

void PtyPair::write(const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{master_, POLLOUT, 0};
      ::poll(&p, 1, 100);
    } else {
      return;
    }
  }
}

std::vector<uint8_t> PtyPair::read(size_t count, std::chrono::milliseconds quiet) {
  std::vector<uint8_t> out;
  uint8_t buffer[65536];
  while (out.size() < count) {
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0) break;
    size_t want = std::min(sizeof buffer, count - out.size());
    ssize_t n = ::read(master_, buffer, want);
    if (n > 0) {
      out.insert(out.end(), buffer, buffer + n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      continue;
    } else {
      break;  // the slave side is closed
    }
  }
  return out;
}

size_t PtyPair::drain(std::chrono::milliseconds quiet) { return read(SIZE_MAX, quiet).size(); }
