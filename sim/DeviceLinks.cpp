#include "DeviceLinks.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <future>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "ListenAddress.h"
#include "utils/LogFacade.h"

namespace sim {
namespace {

// Longer than any pause inside one frame's bytes, shorter than a host's restart.
constexpr auto kFrameGap = std::chrono::milliseconds(500);

constexpr size_t kReadChunk = 4096;
constexpr size_t kMaxClients = 16;
// A peer that stops reading must not make the device hoard replies.
constexpr size_t kMaxUnsent = 1u << 20;
constexpr size_t kMaxDatagram = 2048;
constexpr int kListenBacklog = 8;

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

bool setNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}


// A socket bound to an address; -1 on failure.
int boundSocket(int type, const char* dotted, uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  // A text that is no address must not become 0.0.0.0.
  if (inet_pton(AF_INET, dotted, &addr.sin_addr) != 1) return -1;
  int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

uint16_t localPort(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

int msUntil(SteadyTime at, SteadyTime now) {
  if (at == SteadyTime::max()) return -1;
  if (at <= now) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(at - now).count();
  return static_cast<int>(std::min<int64_t>(ms, 60000));
}

}  // namespace

// ---- IoLoop ----

IoLoop::~IoLoop() {
  closeFd(wakeRead_);
  closeFd(wakeWrite_);
}

bool IoLoop::startThread() {
  if (thread_.joinable()) return true;
  int fds[2];
  if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return false;
  wakeRead_ = fds[0];
  wakeWrite_ = fds[1];
  {
    std::lock_guard<std::mutex> lock(commandsMutex_);
    quit_ = false;
    running_ = true;
  }
  thread_ = std::thread([this] { run(); });
  return true;
}

void IoLoop::stopThread() {
  if (!thread_.joinable()) {
    closeAll();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(commandsMutex_);
    quit_ = true;
  }
  wake();
  thread_.join();
  closeFd(wakeRead_);
  closeFd(wakeWrite_);
}

void IoLoop::call(const std::function<void()>& fn) {
  if (!thread_.joinable() || std::this_thread::get_id() == thread_.get_id()) {
    fn();
    return;
  }
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  {
    std::unique_lock<std::mutex> lock(commandsMutex_);
    if (!running_) {
      // The loop has ended (it only does so on a broken poll): nothing else
      // touches the descriptors any more.
      lock.unlock();
      fn();
      return;
    }
    commands_.push_back([fn, done] {
      fn();
      done->set_value();
    });
  }
  wake();
  finished.wait();
}

void IoLoop::wake() {
  if (wakeWrite_ < 0) return;
  char b = 1;
  ssize_t rc = ::write(wakeWrite_, &b, 1);
  (void)rc;  // a full pipe already means "wake up"
}

void IoLoop::run() {
  std::vector<pollfd> fds;
  while (true) {
    std::deque<std::function<void()>> commands;
    bool quit = false;
    {
      std::lock_guard<std::mutex> lock(commandsMutex_);
      commands.swap(commands_);
      quit = quit_;
    }
    for (auto& command : commands) command();
    if (quit) break;

    fds.assign(1, pollfd{wakeRead_, POLLIN, 0});
    SteadyTime wakeAt = SteadyTime::max();
    collect(fds, wakeAt);
    int rc = ::poll(fds.data(), fds.size(), msUntil(wakeAt, std::chrono::steady_clock::now()));
    if (rc < 0 && errno != EINTR) {
      LOG_WARN("virtual device poll failed: %s", std::strerror(errno));
      break;
    }
    if (fds[0].revents & POLLIN) {
      char drain[64];
      while (::read(wakeRead_, drain, sizeof drain) > 0) {
      }
    }
    fds.erase(fds.begin());
    dispatch(fds);
  }
  // Commands queued by call() after quit still have a waiter.
  std::deque<std::function<void()>> rest;
  {
    std::lock_guard<std::mutex> lock(commandsMutex_);
    running_ = false;
    rest.swap(commands_);
  }
  for (auto& command : rest) command();
  closeAll();
}

// ---- streams ----

bool StreamLoop::serviceStream(Stream& stream, short revents) {
  if (revents & (POLLIN | POLLHUP | POLLERR)) {
    // A frame whose bytes stopped coming is dropped, as a device's receive
    // timeout drops it: a host killed mid-frame must not eat the next one's requests.
    const SteadyTime now = std::chrono::steady_clock::now();
    if (stream.cutter.buffered() > 0 && now - stream.lastByte > kFrameGap) stream.cutter = FrameCutter();
    stream.lastByte = now;
    uint8_t buffer[kReadChunk];
    while (true) {
      ssize_t n = ::read(stream.fd, buffer, sizeof buffer);
      if (n > 0) {
        stream.cutter.append(buffer, static_cast<size_t>(n));
        if (static_cast<size_t>(n) < sizeof buffer) break;
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n < 0 && errno == EINTR) continue;
      return false;  // end of stream or a broken link
    }
    Frame request;
    while (stream.cutter.next(request)) {
      Response response = core_.handle(request, stream.kind);
      SteadyTime base = std::max(std::chrono::steady_clock::now(), stream.lastDue);
      for (auto& emission : response.emissions) {
        base += emission.after;
        stream.pending.push_back({base, std::move(emission.bytes), false});
      }
      if (response.disconnect) stream.pending.push_back({base, {}, true});
      stream.lastDue = base;
    }
  }
  return true;
}

void StreamLoop::flushDue(Stream& stream, SteadyTime now) {
  while (!stream.pending.empty() && stream.pending.front().due <= now) {
    auto& item = stream.pending.front();
    if (stream.out.size() + item.bytes.size() <= kMaxUnsent) {
      stream.out.insert(stream.out.end(), item.bytes.begin(), item.bytes.end());
    }
    if (item.close) stream.closing = true;
    stream.pending.pop_front();
  }
  while (!stream.out.empty()) {
    ssize_t n = stream.socket ? ::send(stream.fd, stream.out.data(), stream.out.size(), MSG_NOSIGNAL)
                              : ::write(stream.fd, stream.out.data(), stream.out.size());
    if (n > 0) {
      stream.out.erase(stream.out.begin(), stream.out.begin() + n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    stream.dead = true;
    return;
  }
  if (stream.closing && stream.out.empty()) stream.dead = true;
}

void StreamLoop::closeStream(Stream& stream) {
  closeFd(stream.fd);
  stream.pending.clear();
  stream.out.clear();
}

namespace {

void addStream(Stream& stream, std::vector<pollfd>& fds, SteadyTime& wakeAt) {
  short events = POLLIN;
  if (!stream.out.empty()) events |= POLLOUT;
  fds.push_back({stream.fd, events, 0});
  if (!stream.pending.empty()) wakeAt = std::min(wakeAt, stream.pending.front().due);
}

short reventsOf(const std::vector<pollfd>& fds, int fd) {
  for (const auto& p : fds) {
    if (p.fd == fd) return p.revents;
  }
  return 0;
}

}  // namespace

// ---- TCP ----

bool TcpLink::listen(const std::string& address, uint16_t devicePort, uint16_t configPort) {
  const uint16_t wanted[2] = {devicePort, configPort};
  for (int i = 0; i < 2; ++i) {
    if (listeners_[i] >= 0) continue;
    uint16_t port = ports_[i] ? ports_[i] : wanted[i];
    int fd = boundSocket(SOCK_STREAM, address.c_str(), port);
    if (fd < 0 || ::listen(fd, kListenBacklog) != 0) {
      LOG_WARN("virtual device cannot listen on %s:%u: %s", address.c_str(), port, std::strerror(errno));
      if (fd >= 0) ::close(fd);
      down();
      return false;
    }
    listeners_[i] = fd;
    ports_[i] = localPort(fd);
  }
  return true;
}

void TcpLink::down() {
  closeFd(listeners_[0]);
  closeFd(listeners_[1]);
  for (auto& client : clients_) closeStream(*client);
  clients_.clear();
}

void TcpLink::collect(std::vector<pollfd>& fds, SteadyTime& wakeAt) {
  for (int fd : listeners_) {
    if (fd >= 0) fds.push_back({fd, POLLIN, 0});
  }
  for (auto& client : clients_) addStream(*client, fds, wakeAt);
}

void TcpLink::dispatch(const std::vector<pollfd>& fds) {
  for (int i = 0; i < 2; ++i) {
    if (listeners_[i] < 0 || !(reventsOf(fds, listeners_[i]) & POLLIN)) continue;
    while (true) {
      int fd = ::accept4(listeners_[i], nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) break;
      if (clients_.size() >= kMaxClients) {
        ::close(fd);
        continue;
      }
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      auto client = std::make_unique<Stream>();
      client->fd = fd;
      client->socket = true;
      client->kind = i == 0 ? LinkKind::Device : LinkKind::Config;
      clients_.push_back(std::move(client));
    }
  }
  for (auto& client : clients_) {
    if (!serviceStream(*client, reventsOf(fds, client->fd))) client->dead = true;
    if (!client->dead) flushDue(*client, std::chrono::steady_clock::now());
  }
  for (auto it = clients_.begin(); it != clients_.end();) {
    if ((*it)->dead) {
      closeStream(**it);
      it = clients_.erase(it);
    } else {
      ++it;
    }
  }
}

// ---- pty ----

bool PtyLink::open() {
  down();
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return false;
  char name[128];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0 ||
      !setNonBlocking(master)) {
    ::close(master);
    return false;
  }
  int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave < 0) {
    ::close(master);
    return false;
  }
  // Raw from the start: a cooked, echoing line would hand the device its own
  // replies back as requests before the host has set the port up.
  termios tio{};
  if (tcgetattr(slave, &tio) == 0) {
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tcsetattr(slave, TCSANOW, &tio);
  }
  master_ = std::make_unique<Stream>();
  master_->fd = master;
  master_->kind = LinkKind::Serial;
  slave_ = slave;
  path_ = name;
  return true;
}

void PtyLink::down() {
  if (master_) {
    closeStream(*master_);
    master_.reset();
  }
  closeFd(slave_);
  path_.clear();
}

void PtyLink::collect(std::vector<pollfd>& fds, SteadyTime& wakeAt) {
  if (master_) addStream(*master_, fds, wakeAt);
}

void PtyLink::dispatch(const std::vector<pollfd>& fds) {
  if (!master_) return;
  // The held slave keeps the master from hanging up, so a failed read here
  // means the pty itself broke.
  if (!serviceStream(*master_, reventsOf(fds, master_->fd))) {
    LOG_WARN("virtual device pty %s failed", path_.c_str());
    down();
    if (onLost) onLost();
    return;
  }
  flushDue(*master_, std::chrono::steady_clock::now());
  if (master_->dead) {
    // A scripted disconnect: the USB function drops off the bus.
    down();
    if (onLost) onLost();
  }
}

// ---- discovery ----

bool DiscoveryLink::bind(const std::string& address, uint16_t port) {
  down();
  uint16_t wanted = port_ ? port_ : port;
  loopbackOnly_ = isLoopbackAddress(address);
  // Off loopback the device sits in a namespace of its own (see
  // ListenAddress.h): every broadcast there, subnet or limited, is for it.
  const char* broadcast = loopbackOnly_ ? "127.255.255.255" : "0.0.0.0";
  // With an ephemeral port the broadcast socket picks it, and the unicast
  // one must get the same: try a few times if someone else holds it.
  for (int attempt = 0; attempt < 8; ++attempt) {
    broadcast_ = boundSocket(SOCK_DGRAM, broadcast, wanted);
    if (broadcast_ < 0) break;
    uint16_t got = localPort(broadcast_);
    unicast_ = boundSocket(SOCK_DGRAM, address.c_str(), got);
    if (unicast_ >= 0) {
      port_ = got;
      return true;
    }
    closeFd(broadcast_);
    if (wanted != 0) break;
  }
  LOG_WARN("virtual device cannot bind the discovery port %u: %s", wanted, std::strerror(errno));
  down();
  return false;
}

void DiscoveryLink::down() {
  closeFd(broadcast_);
  closeFd(unicast_);
  pending_.clear();
}

void DiscoveryLink::collect(std::vector<pollfd>& fds, SteadyTime& wakeAt) {
  if (broadcast_ >= 0) fds.push_back({broadcast_, POLLIN, 0});
  if (unicast_ >= 0) fds.push_back({unicast_, POLLIN, 0});
  for (const auto& d : pending_) wakeAt = std::min(wakeAt, d.due);
}

void DiscoveryLink::receive(int fd) {
  uint8_t buffer[kMaxDatagram];
  while (true) {
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return;
    if (from.sin_family != AF_INET) continue;
    if (loopbackOnly_ && (ntohl(from.sin_addr.s_addr) >> 24) != 127) continue;
    Frame request;
    if (!request.parse(buffer, static_cast<size_t>(n))) continue;
    Response response = core_.handle(request, LinkKind::Discovery);
    SteadyTime base = std::chrono::steady_clock::now();
    for (auto& emission : response.emissions) {
      base += emission.after;
      pending_.push_back({base, std::move(emission.bytes), from});
    }
  }
}

void DiscoveryLink::dispatch(const std::vector<pollfd>& fds) {
  if (broadcast_ >= 0 && (reventsOf(fds, broadcast_) & POLLIN)) receive(broadcast_);
  if (unicast_ >= 0 && (reventsOf(fds, unicast_) & POLLIN)) receive(unicast_);
  auto now = std::chrono::steady_clock::now();
  std::stable_sort(pending_.begin(), pending_.end(),
                   [](const Datagram& a, const Datagram& b) { return a.due < b.due; });
  while (!pending_.empty() && pending_.front().due <= now) {
    const Datagram& d = pending_.front();
    if (unicast_ >= 0) {
      ::sendto(unicast_, d.bytes.data(), d.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&d.to), sizeof d.to);
    }
    pending_.pop_front();
  }
}

}  // namespace sim
