// Request/reply exchanges through the session manager against a loopback TCP
// peer that answers at once, next to the same exchange on a plain socket, and
// the CPU an idle open session costs.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "session/Frame.h"
#include "session/SessionManager.h"
#include "support/RawPeer.h"

namespace {

using namespace std::chrono_literals;

using benchpeer::readExactly;
using benchpeer::writeAll;

benchpeer::AckPeer& peer() {
  static auto* instance = new benchpeer::AckPeer();
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

// Each iteration makes one exchange through the session manager and one on a
// plain blocking socket, timed apart: alternating them lets both see the same
// load on a busy machine, so their ratio stays meaningful.
void roundTrip(benchmark::State& state, size_t frameSize) {
  auto manager = SessionManager::getInstance();
  int id = openSession();
  int raw = benchpeer::rawConnect(peer().port());
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
    uint8_t reply[benchpeer::kAckSize];
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
