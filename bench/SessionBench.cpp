// Request/reply exchanges through the session manager against a loopback TCP
// peer that answers at once, next to the same exchange on a plain socket, and
// the CPU an idle open session costs.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "session/Frame.h"
#include "session/SessionManager.h"

namespace {

using namespace std::chrono_literals;

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

void noDelay(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// A device stand-in on 127.0.0.1: answers every request frame at once with a
// 10-byte reply (command + 0x40, same sub-command and serial).
class LoopbackPeer {
 public:
  LoopbackPeer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      std::perror("loopback peer");
      std::abort();
    }
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
  }

  ~LoopbackPeer() {
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    acceptor_.join();
    std::lock_guard<std::mutex> guard(lock_);
    for (int fd : clients_) ::shutdown(fd, SHUT_RDWR);
    for (auto& t : responders_) t.join();
    for (int fd : clients_) ::close(fd);
  }

  int port() const { return port_; }

 private:
  void acceptLoop() {
    for (;;) {
      int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      noDelay(fd);
      std::lock_guard<std::mutex> guard(lock_);
      clients_.push_back(fd);
      responders_.emplace_back([fd] { answer(fd); });
    }
  }

  static void answer(int fd) {
    std::vector<uint8_t> request(Frame::kMaxSize);
    for (;;) {
      if (!readExactly(fd, request.data(), 6)) return;
      size_t size = static_cast<size_t>((request[4] << 8) | request[5]) + 7;
      if (size < Frame::kMinSize || !readExactly(fd, request.data() + 6, size - 6)) return;
      uint8_t reply[10] = {0x55, 0xAA, 0xF8, 0xF0, 0x00, 0x03, request[6], static_cast<uint8_t>(request[7] + 0x40),
                           request[8], 0};
      reply[9] = Frame::checksum(reply + 2, 7);
      if (!writeAll(fd, reply, sizeof reply)) return;
    }
  }

  int listener_ = -1;
  int port_ = 0;
  std::thread acceptor_;
  std::mutex lock_;  // guards clients_ and responders_
  std::vector<int> clients_;
  std::vector<std::thread> responders_;
};

LoopbackPeer& peer() {
  static LoopbackPeer* instance = new LoopbackPeer();
  return *instance;
}

Frame request(size_t dataSize) {
  static const std::vector<uint8_t> payload(8192, 0x5A);
  Frame frame;
  if (dataSize == 0) {
    frame.build(0xF0, 0xF8, 0x21, 0x05);
  } else {
    frame.build(0xF0, 0xF8, 0x21, 0x05, payload.data(), static_cast<unsigned>(dataSize));
  }
  return frame;
}

// A session on the loopback peer that the receive worker has connected.
int openSession() {
  auto manager = SessionManager::getInstance();
  if (manager->init() != 0) return -1;
  int id = manager->createNetworkSession("127.0.0.1", peer().port(), 0);
  for (int i = 0; i < 500 && !manager->isSessionConnected(id); ++i) std::this_thread::sleep_for(10ms);
  return manager->isSessionConnected(id) ? id : -1;
}

int rawConnect() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(peer().port()));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  noDelay(fd);
  return fd;
}

// Each iteration makes one exchange through the session manager and one on a
// plain blocking socket, timed apart: alternating them lets both see the same
// load on a busy machine, so their ratio stays meaningful.
void roundTrip(benchmark::State& state, size_t frameSize) {
  auto manager = SessionManager::getInstance();
  int id = openSession();
  int raw = rawConnect();
  if (id < 0 || raw < 0) {
    if (raw >= 0) ::close(raw);
    state.SkipWithError("loopback peer not reached");
    return;
  }
  const size_t dataSize = frameSize - Frame::kMinSize;
  using Clock = std::chrono::steady_clock;
  Clock::duration sessionTime{}, rawTime{};
  for (auto _ : state) {
    auto t0 = Clock::now();
    Frame out;
    if (manager->sendFrame(id, request(dataSize)) != 0 || manager->recvFrame(id, out, 0x61, 0x05, 2000) != 0) {
      state.SkipWithError("session exchange failed");
      break;
    }
    auto t1 = Clock::now();
    Frame frame = request(dataSize);
    uint8_t reply[10];
    if (!writeAll(raw, frame.bytes().data(), frame.size()) || !readExactly(raw, reply, sizeof reply) ||
        !Frame::isValid(reply, sizeof reply)) {
      state.SkipWithError("raw exchange failed");
      break;
    }
    auto t2 = Clock::now();
    sessionTime += t1 - t0;
    rawTime += t2 - t1;
  }
  ::close(raw);
  manager->closeAllSessions();
  double n = static_cast<double>(state.iterations());
  double sessionRate = n / std::chrono::duration<double>(sessionTime).count();
  double rawRate = n / std::chrono::duration<double>(rawTime).count();
  state.counters["session_per_s"] = sessionRate;
  state.counters["raw_per_s"] = rawRate;
  state.counters["session_vs_raw_ratio"] = sessionRate / rawRate;
}

double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// One connected session with nothing to say: the worker's waiting is all the
// process does.
void sessionIdleCpu(benchmark::State& state) {
  auto manager = SessionManager::getInstance();
  if (openSession() < 0) {
    state.SkipWithError("session did not connect");
    return;
  }
  double percent = 0;
  for (auto _ : state) {
    std::this_thread::sleep_for(200ms);  // let connecting settle
    auto wall0 = std::chrono::steady_clock::now();
    double cpu0 = cpuSeconds();
    std::this_thread::sleep_for(2s);
    double cpu = cpuSeconds() - cpu0;
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    percent = 100.0 * cpu / wall;
  }
  state.counters["cpu_percent"] = percent;
  manager->closeAllSessions();
}

[[maybe_unused]] const bool registered = [] {
  benchmark::RegisterBenchmark("roundtrip_10B", [](benchmark::State& s) { roundTrip(s, 10); })->UseRealTime();
  benchmark::RegisterBenchmark("roundtrip_4KiB", [](benchmark::State& s) { roundTrip(s, 4096); })->UseRealTime();
  benchmark::RegisterBenchmark("session_idle", sessionIdleCpu)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
  return true;
}();

}  // namespace
