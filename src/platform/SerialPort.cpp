#include "platform/SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <set>

#include "platform/Clock.h"

namespace platform {
namespace {

constexpr int64_t kNever = INT64_MAX;

// TIOCEXCL does not stop a process with CAP_SYS_ADMIN, so we also refuse a
// second open of the same tty within this process ourselves.
std::mutex& openPortsMutex() {
  static std::mutex m;
  return m;
}
std::set<std::string>& openPorts() {
  static std::set<std::string> ports;  // guarded by openPortsMutex()
  return ports;
}

bool claimPort(const std::string& key) {
  std::lock_guard lock(openPortsMutex());
  return openPorts().insert(key).second;
}

void releasePort(const std::string& key) {
  std::lock_guard lock(openPortsMutex());
  openPorts().erase(key);
}

std::string canonicalPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

int64_t scaledMs(uint64_t ms) {
  constexpr uint64_t kCap = 24ull * 3600 * 1000;  // beyond a day means "never" in practice
  return platform::scaled(std::chrono::milliseconds(static_cast<int64_t>(std::min(ms, kCap)))).count();
}

int64_t deadline(int64_t start, uint64_t ms) { return ms == 0 ? kNever : start + scaledMs(ms); }

bool baudConstant(uint32_t baud, speed_t* out) {
  static const struct {
    uint32_t rate;
    speed_t code;
  } table[] = {{50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
               {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
               {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
               {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
               {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
               {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
               {3500000, B3500000}, {4000000, B4000000}};
  for (const auto& e : table) {
    if (e.rate == baud) {
      *out = e.code;
      return true;
    }
  }
  return false;
}

bool configure(termios& tio, uint32_t baudRate, uint8_t byteSize, uint8_t parity, uint8_t stopBits) {
  speed_t speed;
  if (!baudConstant(baudRate, &speed)) return false;
  // Raw mode: the device speaks binary frames, so no line discipline may touch a byte.
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  switch (byteSize) {
    case 5: tio.c_cflag |= CS5; break;
    case 6: tio.c_cflag |= CS6; break;
    case 7: tio.c_cflag |= CS7; break;
    case 8: tio.c_cflag |= CS8; break;
    default: return false;
  }
  switch (parity) {
    case SerialPort::NOPARITY: break;
    case SerialPort::ODDPARITY: tio.c_cflag |= PARENB | PARODD; break;
    case SerialPort::EVENPARITY: tio.c_cflag |= PARENB; break;
    case SerialPort::MARKPARITY: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case SerialPort::SPACEPARITY: tio.c_cflag |= PARENB | CMSPAR; break;
    default: return false;
  }
  switch (stopBits) {
    case SerialPort::ONESTOPBIT: break;
    case SerialPort::TWOSTOPBITS: tio.c_cflag |= CSTOPB; break;
    // A UART sends 1.5 stop bits for CSTOPB with 5-bit words, and only then.
    case SerialPort::ONE5STOPBITS:
      if (byteSize != 5) return false;
      tio.c_cflag |= CSTOPB;
      break;
    default: return false;
  }
  // The descriptor is non-blocking and the waiting is ours (poll). VMIN 1 makes
  // an empty port read as EAGAIN, so that a read of 0 bytes means hang-up.
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  return cfsetispeed(&tio, speed) == 0 && cfsetospeed(&tio, speed) == 0;
}

enum class Wait { Ready, Woken, TimedOut, Failed };

// Waits for the port to become ready for `events` or for close() to wake us.
Wait waitFor(int fd, int wakeFd, short events, int64_t until) {
  for (;;) {
    int64_t left = until == kNever ? -1 : until - nowMs();
    if (until != kNever && left <= 0) return Wait::TimedOut;
    pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    int rc = ::poll(fds, 2, left < 0 ? -1 : static_cast<int>(std::min<int64_t>(left, INT_MAX)));
    if (rc < 0) {
      if (errno == EINTR) continue;
      return Wait::Failed;
    }
    if (fds[1].revents) return Wait::Woken;
    if (fds[0].revents) return Wait::Ready;  // errors show up in the next read or write
  }
}

}  // namespace

// Counts a read or write in progress so that close() can wait for it to leave
// before the descriptors are closed and their numbers reused.
class SerialPort::IoScope {
 public:
  explicit IoScope(SerialPort& port) : port_(port) {
    std::lock_guard lock(port.mutex_);
    if (port.fd_ < 0 || port.closing_) return;
    ++port.busy_;
    active_ = true;
    fd = port.fd_;
    wakeFd = port.wakeFd_;
    timeouts = port.timeouts_;
  }
  ~IoScope() {
    if (!active_) return;
    std::lock_guard lock(port_.mutex_);
    if (--port_.busy_ == 0) port_.idle_.notify_all();
  }
  IoScope(const IoScope&) = delete;
  IoScope& operator=(const IoScope&) = delete;
  explicit operator bool() const { return active_; }

  int fd = -1;
  int wakeFd = -1;
  Timeouts timeouts;

 private:
  SerialPort& port_;
  bool active_ = false;
};

SerialPort::~SerialPort() { close(); }

std::string SerialPort::devicePath(const std::string& portName) {
  if (portName.find('/') != std::string::npos) return portName;
  return "/dev/" + portName;
}

bool SerialPort::open(const std::string& portName, uint32_t baudRate, uint8_t byteSize, uint8_t parity,
                      uint8_t stopBits) {
  std::unique_lock lock(mutex_);
  closeLocked(lock);
  if (portName.empty()) return false;
  const std::string path = devicePath(portName);
  const std::string key = canonicalPath(path);
  if (!claimPort(key)) {
    errno = EBUSY;
    return false;
  }
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  bool exclusive = false;
  auto fail = [&] {
    int saved = errno;
    if (fd >= 0) {
      if (exclusive) ::ioctl(fd, TIOCNXCL);
      ::close(fd);
    }
    releasePort(key);
    errno = saved;
    return false;
  };
  if (fd < 0) return fail();
  if (::ioctl(fd, TIOCEXCL) != 0) return fail();
  exclusive = true;
  // TIOCEXCL does not hold back root, and another of our processes may work
  // on a device there: a port in use by one of them is busy, never shared.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) errno = EBUSY;
    exclusive = false;  // the flag is the tty's, and the holder set it
    return fail();
  }
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) return fail();
  if (!configure(tio, baudRate, byteSize, parity, stopBits)) {
    errno = EINVAL;
    return fail();
  }
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) return fail();
  int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) return fail();

  fd_ = fd;
  wakeFd_ = wake;
  lockedPath_ = key;
  timeouts_ = Timeouts{};
  closing_ = false;
  return true;
}

void SerialPort::close() {
  std::unique_lock lock(mutex_);
  closeLocked(lock);
}

void SerialPort::closeLocked(std::unique_lock<std::mutex>& lock) {
  closing_ = true;
  if (wakeFd_ >= 0) {
    uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
  }
  idle_.wait(lock, [this] { return busy_ == 0; });
  if (fd_ >= 0) {
    ::ioctl(fd_, TIOCNXCL);  // the flag outlives our descriptor on a tty that stays open elsewhere
    ::close(fd_);
    fd_ = -1;
  }
  if (wakeFd_ >= 0) {
    ::close(wakeFd_);
    wakeFd_ = -1;
  }
  if (!lockedPath_.empty()) {
    releasePort(lockedPath_);
    lockedPath_.clear();
  }
}

bool SerialPort::openHere(const std::string& portName) {
  const std::string key = canonicalPath(devicePath(portName));
  std::lock_guard lock(openPortsMutex());
  return openPorts().count(key) > 0;
}

bool SerialPort::isOpen() const {
  std::lock_guard lock(mutex_);
  return fd_ >= 0;
}

int SerialPort::nativeHandle() const {
  std::lock_guard lock(mutex_);
  return closing_ ? -1 : fd_;
}

bool SerialPort::setTimeouts(uint32_t readInterval, uint32_t readTotalMultiplier, uint32_t readTotalConstant,
                             uint32_t writeTotalMultiplier, uint32_t writeTotalConstant) {
  std::lock_guard lock(mutex_);
  if (fd_ < 0) return false;
  timeouts_ = Timeouts{readInterval, readTotalMultiplier, readTotalConstant, writeTotalMultiplier, writeTotalConstant};
  return true;
}

bool SerialPort::purge(uint32_t flags) {
  IoScope io(*this);
  if (!io) return false;
  bool ok = true;
  if (flags & PURGE_TXCLEAR) ok = ::tcflush(io.fd, TCOFLUSH) == 0 && ok;
  if (flags & PURGE_RXCLEAR) ok = ::tcflush(io.fd, TCIFLUSH) == 0 && ok;
  return ok;
}

bool SerialPort::read(uint8_t* buffer, size_t count, size_t* bytesRead, uint32_t timeoutMs) {
  if (bytesRead) *bytesRead = 0;
  if (!buffer || count == 0) return false;
  IoScope io(*this);
  if (!io) return false;

  const Timeouts& t = io.timeouts;
  const int64_t start = nowMs();
  const int64_t waitEnd = timeoutMs == INFINITE ? kNever : start + scaledMs(timeoutMs);
  const bool immediate = t.readInterval == MAXDWORD && t.readMultiplier == 0 && t.readConstant == 0;
  const int64_t totalEnd = deadline(start, uint64_t{t.readMultiplier} * count + t.readConstant);
  const int64_t interval = (t.readInterval == 0 || t.readInterval == MAXDWORD) ? 0 : scaledMs(t.readInterval);

  size_t got = 0;
  int64_t lastByte = 0;
  bool ok = true;
  while (got < count) {
    ssize_t n = ::read(io.fd, buffer + got, count - got);
    if (n > 0) {
      got += static_cast<size_t>(n);
      lastByte = nowMs();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || errno != EAGAIN) {  // hang-up or I/O error
      ok = false;
      break;
    }
    if (immediate) break;

    const int64_t intervalEnd = (got > 0 && interval > 0) ? lastByte + interval : kNever;
    const int64_t comEnd = std::min(totalEnd, intervalEnd);
    const int64_t now = nowMs();
    if (now >= comEnd) break;  // ended by the port's own time-outs: a success
    if (now >= waitEnd) {
      ok = got > 0;
      break;
    }
    Wait w = waitFor(io.fd, io.wakeFd, POLLIN, std::min(comEnd, waitEnd));
    if (w == Wait::Woken || w == Wait::Failed) {
      ok = false;
      break;
    }
  }
  if (bytesRead) *bytesRead = got;
  return ok;
}

bool SerialPort::write(const uint8_t* bytes, size_t count, size_t* bytesWritten, uint32_t timeoutMs) {
  if (bytesWritten) *bytesWritten = 0;
  if (!bytes || count == 0) return false;
  IoScope io(*this);
  if (!io) return false;

  const Timeouts& t = io.timeouts;
  const int64_t start = nowMs();
  const int64_t waitEnd = timeoutMs == INFINITE ? kNever : start + scaledMs(timeoutMs);
  const int64_t end = std::min(waitEnd, deadline(start, uint64_t{t.writeMultiplier} * count + t.writeConstant));

  size_t done = 0;
  while (done < count) {
    ssize_t n = ::write(io.fd, bytes + done, count - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || errno != EAGAIN) break;
    if (waitFor(io.fd, io.wakeFd, POLLOUT, end) != Wait::Ready) break;
  }
  if (bytesWritten) *bytesWritten = done;
  return done == count;
}

}  // namespace platform
