// Firmware transfer figures: the chunk loop against the virtual device over
// loopback TCP and over its pty, the same loop against a peer that answers at
// once, the bare exchange of the same frames on a plain socket, the heap a
// transfer needs, and one whole two-image upgrade with its fixed pauses
// apart from the rest.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "SimPackages.h"
#include "VirtualDevice.h"
#include "WebServices.h"
#include "app/AppState.h"
#include "app/MessageTarget.h"
#include "app/Messages.h"
#include "firmware/CFirmwareUpDateUtils.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "session/Frame.h"
#include "session/SessionManager.h"
#include "support/BenchFigures.h"
#include "support/HeapPeak.h"
#include "support/RawPeer.h"
#include "task/FirmwareUpgrader.h"
#include "utils/HexText.h"
#include "utils/LogFacade.h"

namespace {

using namespace std::chrono_literals;

constexpr size_t kImageSize = 0x70000;  // a J2534 image: 112 chunks
constexpr size_t kChunks = (kImageSize + CFirmwareUpDateUtils::kChunkSize - 1) / CFirmwareUpDateUtils::kChunkSize;
const std::string kSerial = sim::sampleSerial(0, true);

using benchpeer::readExactly;
using benchpeer::writeAll;

// One virtual device and the web services for the whole process; the
// product reads the simulator's endpoints once, before its first session.
struct Rig {
  sim::VirtualDevice device{{.serialNumber = kSerial}, sim::LinkConfig{.discovery = false}};
  sim::WebServices web;
  benchpeer::AckPeer peer;
  std::vector<uint8_t> image = sim::buildFirmwareImage("V9.99", kImageSize, 3);
  bool ok = false;

  Rig() {
    ok = device.start() && web.start();
    sim::applyEnvironment(sim::simEnvironment(&device, &web));
    ok = ok && SessionManager::getInstance()->init() == 0;
  }
};

Rig& rig() {
  static Rig* instance = new Rig();
  return *instance;
}

int connected(int id) {
  auto manager = SessionManager::getInstance();
  for (int i = 0; i < 500 && id >= 0 && !manager->isSessionConnected(id); ++i) std::this_thread::sleep_for(10ms);
  return id >= 0 && manager->isSessionConnected(id) ? id : -1;
}

// The boot loader ready for the J2534 image's chunks on this session.
bool prepareTransfer(CFirmwareUpDateUtils& utils, int session) {
  rig().device.core().setMode(sim::DeviceMode::BootLoader);
  utils.productType = DeviceModel::Brisa;
  utils.useSession(session);
  return session >= 0 && utils.SafetyCheck() && utils.notifyFirmwareInfo("3", kImageSize) == 0;
}

// One pass of the chunk loop over the whole image; its seconds, or a
// negative value when a chunk went unacknowledged.
double timedSendBin(CFirmwareUpDateUtils& utils) {
  const std::vector<uint8_t>& image = rig().image;
  const auto start = std::chrono::steady_clock::now();
  if (utils.sendBin(image.data(), image.size()) != 0) return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The same chunk frames on a plain socket: write one, read its 11-byte
// acknowledgement, next.
double timedRawExchange(int fd) {
  const std::vector<uint8_t>& image = rig().image;
  std::vector<uint8_t> block;
  const auto start = std::chrono::steady_clock::now();
  for (size_t offset = 0; offset < kImageSize; offset += CFirmwareUpDateUtils::kChunkSize) {
    const size_t count = std::min(CFirmwareUpDateUtils::kChunkSize, kImageSize - offset);
    block = {static_cast<uint8_t>(offset >> 24), static_cast<uint8_t>(offset >> 16), static_cast<uint8_t>(offset >> 8),
             static_cast<uint8_t>(offset), static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
    block.insert(block.end(), image.begin() + static_cast<long>(offset), image.begin() + static_cast<long>(offset + count));
    Frame frame;
    frame.build(0xF0, 0xF8, 0x24, 0x03, block.data(), static_cast<unsigned>(block.size()));
    uint8_t reply[11];
    if (!writeAll(fd, frame.bytes().data(), frame.size()) || !readExactly(fd, reply, sizeof reply) ||
        !Frame::isValid(reply, sizeof reply) || reply[9] != 0) {
      return -1;
    }
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The chunk loop to the virtual device and to the peer that answers at once,
// and the plain-socket exchange of the same frames with that peer, in
// alternating rounds so that load on the machine falls on all three alike;
// the figures are the medians.
void firmware_chunk_loop(benchmark::State& state) {
  constexpr int kRounds = 25;
  Rig& r = rig();
  auto manager = SessionManager::getInstance();
  CFirmwareUpDateUtils toDevice;
  CFirmwareUpDateUtils toPeer;
  const int deviceSession = connected(manager->createNetworkSession("127.0.0.1", r.device.devicePort(), 0));
  const int peerSession = connected(manager->createNetworkSession("127.0.0.1", r.peer.port(), 0));
  const int fd = benchpeer::rawConnect(r.peer.port());
  if (!r.ok || !prepareTransfer(toDevice, deviceSession) || peerSession < 0 || fd < 0) {
    state.SkipWithError("links not ready");
    if (fd >= 0) ::close(fd);
    return;
  }
  toPeer.useSession(peerSession);
  std::vector<double> device, peer, raw;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      device.push_back(timedSendBin(toDevice));
      peer.push_back(timedSendBin(toPeer));
      raw.push_back(timedRawExchange(fd));
      if (device.back() < 0 || peer.back() < 0 || raw.back() < 0) {
        state.SkipWithError("transfer failed");
        break;
      }
    }
  }
  ::close(fd);
  manager->closeAllSessions();
  if (device.empty() || device.back() < 0 || peer.back() < 0 || raw.back() < 0) return;
  const double chunks = static_cast<double>(kChunks);
  state.counters["vdev_tcp_chunks_per_s"] = chunks / median(device);
  state.counters["peer_tcp_chunks_per_s"] = chunks / median(peer);
  state.counters["raw_tcp_chunks_per_s"] = chunks / median(raw);
  state.counters["vdev_tcp_bytes_per_s"] = static_cast<double>(kImageSize) / median(device);
  state.counters["raw_tcp_bytes_per_s"] = static_cast<double>(kImageSize) / median(raw);
  state.counters["vdev_vs_raw"] = median(raw) / median(device);
  state.counters["peer_vs_raw"] = median(raw) / median(peer);
}

// The log lines one chunk exchange writes below this layer (the frame as
// hex text when it is sent, the acknowledgement when it arrives, and the
// session's four short lines), alone: the share of the chunk loop's time
// that is logging.
void firmware_chunk_logging(benchmark::State& state) {
  const std::vector<uint8_t> frame(CFirmwareUpDateUtils::kChunkSize + 6 + Frame::kMinSize, 0x5A);
  const std::vector<uint8_t> ack(11, 0x00);
  for (auto _ : state) {
    LOG_INFO("send msg ok , size : %d", static_cast<int>(frame.size()));
    LOG_INFO("send : %s", toHexString(frame.data(), frame.size()).c_str());
    LOG_INFO("recvFrame start");
    LOG_INFO("recv : %s", toHexString(ack.data(), ack.size()).c_str());
    LOG_INFO("insert frame serial : %02x", 7);
    LOG_INFO("recv frame cmd : %02x %02x ", 0x64, 0x03);
  }
  state.SetItemsProcessed(state.iterations());
}

// The same chunk loop to the virtual device over its pty.
void firmware_sendbin_vdev_pty(benchmark::State& state) {
  Rig& r = rig();
  CFirmwareUpDateUtils utils;
  int id = connected(SessionManager::getInstance()->createSerialSession(r.device.ttyPath()));
  if (!r.ok || !prepareTransfer(utils, id)) {
    state.SkipWithError("virtual device not ready");
    return;
  }
  double seconds = 0;
  for (auto _ : state) {
    seconds = timedSendBin(utils);
    if (seconds < 0) {
      state.SkipWithError("transfer failed");
      return;
    }
  }
  state.counters["chunks_per_s"] = static_cast<double>(kChunks) / seconds;
  state.counters["bytes_per_s"] = static_cast<double>(kImageSize) / seconds;
  SessionManager::getInstance()->closeAllSessions();
}

// The pty's own limit: the same frames written to a pseudo-terminal whose
// other end acknowledges each whole frame at once, in raw mode on both ends.
void firmware_raw_pty_exchange(benchmark::State& state) {
  constexpr int kRounds = 5;
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  const char* slaveName = master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0 ? ::ptsname(master) : nullptr;
  const int slave = slaveName ? ::open(slaveName, O_RDWR | O_NOCTTY) : -1;
  if (slave < 0) {
    state.SkipWithError("no pty");
    if (master >= 0) ::close(master);
    return;
  }
  for (int fd : {master, slave}) {
    termios raw{};
    ::tcgetattr(fd, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(fd, TCSANOW, &raw);
  }
  std::thread device([master] { benchpeer::answerFrames(master); });
  std::vector<double> times;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) times.push_back(timedRawExchange(slave));
  }
  ::close(slave);
  device.join();
  ::close(master);
  if (times.empty() || *std::min_element(times.begin(), times.end()) < 0) {
    state.SkipWithError("exchange failed");
    return;
  }
  state.counters["chunks_per_s"] = static_cast<double>(kChunks) / median(times);
}

long maxRssKb() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// burnFile of a J2534 image (read whole, announced, sent) to the peer that
// answers at once, so that only the host's memory is counted, while a
// sampler notes the heap in use; the figure is its high-water mark over the
// start.
void firmware_transfer_memory(benchmark::State& state) {
  Rig& r = rig();
  const std::string path = platform::joinPath(platform::workRoot(), "bench-image.bin");
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(r.image.data()), static_cast<std::streamsize>(r.image.size()));
  CFirmwareUpDateUtils utils;
  int id = connected(SessionManager::getInstance()->createNetworkSession("127.0.0.1", r.peer.port(), 0));
  if (!r.ok || id < 0) {
    state.SkipWithError("peer not connected");
    return;
  }
  utils.useSession(id);
  size_t peak = 0;
  const long rssBefore = maxRssKb();
  for (auto _ : state) {
    bool sent = false;
    const size_t high = benchfig::heapPeakDuring([&] {
      std::string digest;
      sent = utils.burnFile("3", path, digest);
    });
    if (!sent) {
      state.SkipWithError("transfer failed");
      break;
    }
    peak = std::max(peak, high);
  }
  state.counters["heap_peak_kb"] = static_cast<double>(peak) / 1024.0;
  state.counters["maxrss_growth_kb"] = static_cast<double>(maxRssKb() - rssBefore);
  state.counters["image_kb"] = static_cast<double>(kImageSize) / 1024.0;
  SessionManager::getInstance()->closeAllSessions();
}

// The fixed pauses of a two-image upgrade of an alphanumeric model-0 device
// that starts on TCP: the first connection poll, 2000 ms after the main
// firmware, 4000 ms and a connection poll when the J2534 part moves to the
// boot-mode port, and 1000 ms after the J2534 firmware.
constexpr double kFixedPausesMs = 1000 + 2000 + 4000 + 1000 + 1000;

class ProgressSink : public MessageTarget {
 public:
  void send(const AppMessage& message) override {
    if (message.id == UM_FIRMWARE_PROGRESS && message.lParam == FirmwareUpgrader::kStepDone) ++done;
  }
  void post(AppMessage) override {}
  std::atomic<int> done{0};
};

void firmware_upgrade_two_images(benchmark::State& state) {
  Rig& r = rig();
  if (!r.ok) {
    state.SkipWithError("virtual device not ready");
    return;
  }
  auto sink = std::make_shared<ProgressSink>();
  AppState::getInstance().setTarget(sink);
  DeviceInfo info;
  info.serialNumber = kSerial;
  // Older than online, so both images are offered.
  info.firmware.version = "V1.10";
  info.firmware.latestVersion = "V1.20";
  info.j2534Firmware.version = "V2.10";
  info.j2534Firmware.latestVersion = "V2.20";
  AppState::getInstance().setDeviceInfo(info);
  double totalMs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    SessionManager::getInstance()->closeAllSessions();
    r.device.restart(sim::DeviceMode::Normal);
    r.device.waitOnline(10s);
    sink->done = 0;
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    FirmwareUpgrader upgrader;
    upgrader.run();
    totalMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (sink->done != 2 || !r.device.core().image(sim::ImageSlot::J2534).accepted) {
      state.SkipWithError("upgrade failed");
      break;
    }
  }
  AppState::getInstance().setTarget(nullptr);
  const double runs = static_cast<double>(state.iterations());
  state.counters["total_ms"] = totalMs / runs;
  state.counters["fixed_pauses_ms"] = kFixedPausesMs * platform::timeScale();
  state.counters["other_ms"] = totalMs / runs - kFixedPausesMs * platform::timeScale();
}

BENCHMARK(firmware_chunk_loop)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(firmware_chunk_logging)->UseRealTime();
BENCHMARK(firmware_sendbin_vdev_pty)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(firmware_raw_pty_exchange)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(firmware_transfer_memory)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(firmware_upgrade_two_images)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

const benchfig::Derived ptyRatio("firmware_pty_vs_tcp", "firmware_sendbin_vdev_pty_chunks_per_s",
                                 "firmware_chunk_loop_vdev_tcp_chunks_per_s");
// Against what the pty itself carries in the same run.
const benchfig::Derived ptyRawRatio("firmware_pty_vs_raw_pty", "firmware_sendbin_vdev_pty_chunks_per_s",
                                    "firmware_raw_pty_exchange_chunks_per_s");

}  // namespace
