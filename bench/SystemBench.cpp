// System upload figures: the chunk loop of the system upgrade against the
// virtual device's configuration port, the same frames exchanged on a plain
// socket with the same device, and the heap an upload needs for an 8 MiB and
// a 64 MiB system image (the image is streamed, so the two should match).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "VirtualDevice.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "session/Frame.h"
#include "session/SessionApi.h"
#include "support/BenchFigures.h"
#include "support/HeapPeak.h"
#include "support/RawPeer.h"
#include "task/SystemTransfer.h"

namespace {

using namespace std::chrono_literals;

constexpr size_t kLoopImage = 8u << 20;
constexpr size_t kChunk = SystemTransfer::kChunkSize;

uint16_t freePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);
  return port;
}

using benchpeer::readExactly;
using benchpeer::writeAll;

std::string writeImage(const std::string& name, size_t size) {
  const std::string path = platform::joinPath(platform::workRoot(), name);
  std::vector<char> block(1 << 20);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131);
  std::ofstream out(path, std::ios::binary);
  for (size_t done = 0; done < size; done += block.size()) {
    out.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), size - done)));
  }
  return path;
}

// The virtual device alone on a configuration port that the product reads
// from the environment once; the memory figure later puts an acknowledging
// peer on the same port, so the device's own copy of the upload is not counted.
struct Rig {
  uint16_t configPort = freePort();
  std::string usbList;
  std::unique_ptr<sim::VirtualDevice> device;
  std::string loopImage;
  bool ok = false;

  Rig() {
    platform::setTimeScale(1.0);
    usbList = platform::joinPath(platform::workRoot(), "bench-usb.list");
    std::ofstream(usbList).flush();
    setenv("KESTREL_DEVICE_HOST", "127.0.0.1", 1);
    setenv("KESTREL_CONFIG_PORT", std::to_string(configPort).c_str(), 1);
    setenv("KESTREL_DEVICE_PORT", std::to_string(freePort()).c_str(), 1);
    setenv("KESTREL_SIM_USB", usbList.c_str(), 1);
    setenv("KESTREL_LOOPBACK_ONLY", "1", 1);
    sim::LinkConfig links;
    links.configPort = configPort;
    links.pty = false;
    links.discovery = false;
    links.usbListFile = usbList;
    device = std::make_unique<sim::VirtualDevice>(sim::DeviceConfig{}, links);
    ok = device->start();
    loopImage = writeImage("bench-system-8m.zip", kLoopImage);
  }
};

Rig& rig() {
  static Rig r;
  return r;
}

double chunksOf(size_t size) { return static_cast<double>((size + kChunk - 1) / kChunk); }

void system_chunk_loop_vdev_tcp(benchmark::State& state) {
  Rig& r = rig();
  std::atomic<bool> stop{false};
  SystemTransfer upgrader(stop);
  if (!r.ok || upgrader.connect(3000) != 0) {
    state.SkipWithError("virtual device not connected");
    return;
  }
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (upgrader.sendUpgradeFile(r.loopImage) != 0) {
      state.SkipWithError("upload failed");
      break;
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  state.counters["chunks_per_s"] = chunksOf(kLoopImage) / seconds;
  closeAllSessions();
}

// The identical frames and acknowledgements without the product in between:
// no session worker, no file reads, no digest.
void system_raw_exchange_vdev_tcp(benchmark::State& state) {
  Rig& r = rig();
  int fd = r.ok ? benchpeer::rawConnect(r.configPort) : -1;
  if (fd < 0) {
    state.SkipWithError("virtual device not reachable");
    return;
  }
  std::vector<uint8_t> chunk(5 + kChunk, 0x5A);
  const size_t chunks = static_cast<size_t>(chunksOf(kLoopImage));
  double seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    uint8_t flowId = 0;
    for (size_t i = 0; i < chunks; ++i) {
      chunk[0] = 0x02;
      chunk[1] = i + 1 == chunks ? 0xF5 : 0x55;
      chunk[2] = flowId;
      chunk[3] = static_cast<uint8_t>(kChunk >> 8);
      chunk[4] = static_cast<uint8_t>(kChunk);
      Frame frame;
      frame.build(0xF1, 0xF8, 0x2C, 0x05, chunk.data(), static_cast<unsigned>(chunk.size()));
      uint8_t ack[12];
      if (!writeAll(fd, frame.bytes().data(), frame.size()) || !readExactly(fd, ack, sizeof ack) || ack[10] != 0) {
        state.SkipWithError("raw exchange failed");
        ::close(fd);
        return;
      }
      flowId = flowId == 255 ? 1 : static_cast<uint8_t>(flowId + 1);
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  state.counters["chunks_per_s"] = static_cast<double>(chunks) / seconds;
  ::close(fd);
}

// Acknowledges every chunk at once with its flow id and status 0.
class AckPeer {
 public:
  explicit AckPeer(uint16_t port) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok_ = ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(listener_, 4) == 0;
    if (ok_) {
      std::thread([fd = listener_] {
        for (;;) {
          int client = ::accept(fd, nullptr, nullptr);
          if (client < 0) return;
          std::thread([client] { answer(client); }).detach();
        }
      }).detach();
    }
  }
  bool ok() const { return ok_; }

 private:
  static void answer(int fd) {
    std::vector<uint8_t> request(Frame::kMaxSize);
    while (readExactly(fd, request.data(), 6)) {
      size_t size = static_cast<size_t>((request[4] << 8) | request[5]) + 7;
      if (size < Frame::kMinSize + 1 || !readExactly(fd, request.data() + 6, size - 6)) break;
      uint8_t reply[12] = {0x55, 0xAA, 0xF8, 0xF1, 0x00, 0x05, request[6], static_cast<uint8_t>(request[7] + 0x40),
                           request[8], request[11], 0x00, 0};
      reply[11] = Frame::checksum(reply + 2, 9);
      if (!writeAll(fd, reply, sizeof reply)) break;
    }
    ::close(fd);
  }

  int listener_ = -1;
  bool ok_ = false;
};

void system_transfer_memory(benchmark::State& state) {
  Rig& r = rig();
  closeAllSessions();
  r.device->stop();
  AckPeer peer(r.configPort);
  std::atomic<bool> stop{false};
  SystemTransfer upgrader(stop);
  if (!peer.ok() || upgrader.connect(3000) != 0) {
    state.SkipWithError("peer not connected");
    return;
  }
  const std::string big = writeImage("bench-system-64m.zip", 64u << 20);
  size_t small = 0, large = 0;
  for (auto _ : state) {
    bool sentSmall = false, sentLarge = false;
    small = std::max(small, benchfig::heapPeakDuring([&] { sentSmall = upgrader.sendUpgradeFile(r.loopImage) == 0; }));
    large = std::max(large, benchfig::heapPeakDuring([&] { sentLarge = upgrader.sendUpgradeFile(big) == 0; }));
    if (!sentSmall || !sentLarge) {
      state.SkipWithError("upload failed");
      break;
    }
  }
  state.counters["heap_peak_kb_8MiB"] = static_cast<double>(small) / 1024.0;
  state.counters["heap_peak_kb_64MiB"] = static_cast<double>(large) / 1024.0;
  std::remove(big.c_str());
  closeAllSessions();
}

BENCHMARK(system_chunk_loop_vdev_tcp)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(system_raw_exchange_vdev_tcp)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(system_transfer_memory)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

const benchfig::Derived loopRatio("system_chunk_loop_vs_raw", "system_chunk_loop_vdev_tcp_chunks_per_s",
                                  "system_raw_exchange_vdev_tcp_chunks_per_s");

const benchfig::Derived memoryRatio("system_memory_64MiB_vs_8MiB", "system_transfer_memory_heap_peak_kb_64MiB",
                                    "system_transfer_memory_heap_peak_kb_8MiB");

}  // namespace
