// `kestrel-cli upgrade firmware --all` on one device and on eight (four on
// USB, four on the LAN), at the product's own protocol pauses. Figures: each
// run's wall time, the eight-device time over the one-device time (the same
// work done one device after another would be 8), and the parent's peak
// resident memory for one device and for eight.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "VirtualDevice.h"
#include "WebServices.h"
#include "platform/UsbDevices.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

uint16_t freePort(int type, const char* address) {
  int fd = ::socket(AF_INET, type, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  ::inet_pton(AF_INET, address, &addr.sin_addr);
  socklen_t size = sizeof addr;
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), size) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);
  return port;
}

struct Endpoints {
  uint16_t device = freePort(SOCK_STREAM, "127.0.0.1");
  uint16_t config = freePort(SOCK_STREAM, "127.0.0.1");
  uint16_t discovery = freePort(SOCK_DGRAM, "127.255.255.255");
  fs::path folder;
  fs::path usbList() const { return folder / "usb.list"; }
};

// The devices of one run. Each USB device writes its own list file (a new
// tty after every restart); one thread merges them into the list the
// program reads, as udev shows every attached port.
class Bench {
 public:
  Bench(const Endpoints& at, int usb, int lan) : at_(at) {
    for (int i = 0; i < usb + lan; ++i) {
      sim::LinkConfig links;
      links.wlanListFile = (at.folder / "wlan.list").string();
      if (i < usb) {
        links.tcp = false;
        links.discovery = false;
      } else {
        links.pty = false;
        links.listenAddress = "127.0.0." + std::to_string(2 + i - usb);
        links.devicePort = at.device;
        links.configPort = at.config;
        links.discoveryPort = at.discovery;
      }
      char serial[32];
      std::snprintf(serial, sizeof serial, "5RHM1%07d", ++next_);
      devices_.push_back(std::make_unique<sim::VirtualDevice>(sim::DeviceConfig{.serialNumber = serial}, links));
      if (!devices_.back()->start()) throw std::runtime_error("a virtual device did not start");
    }
    merge();
    merger_ = std::thread([this] {
      while (!done_) {
        merge();
        std::this_thread::sleep_for(20ms);
      }
    });
  }
  ~Bench() {
    done_ = true;
    merger_.join();
  }

 private:
  void merge() {
    std::vector<platform::UsbDevice> all;
    for (const auto& device : devices_) {
      std::ifstream in(device->usbListFile());
      std::stringstream text;
      text << in.rdbuf();
      for (const platform::UsbDevice& d : platform::parseSimUsbList(text.str())) all.push_back(d);
    }
    platform::writeSimUsbList(at_.usbList().string(), all);
  }

  static inline int next_ = 0;
  const Endpoints& at_;
  std::vector<std::unique_ptr<sim::VirtualDevice>> devices_;
  std::atomic<bool> done_{false};
  std::thread merger_;
};

struct Run {
  double seconds = 0;
  long peakKb = 0;  // the parent's own, children not counted
  int status = -1;
};

long peakKbOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// The summary table goes to summary, kept to show when a run fails.
Run fleetRun(const std::string& cli, const fs::path& summary) {
  Run run;
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = ::fork();
  if (pid == 0) {
    std::freopen(summary.c_str(), "w", stdout);
    std::freopen("/dev/null", "w", stderr);
    ::execl(cli.c_str(), cli.c_str(), "upgrade", "firmware", "--all", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    run.peakKb = std::max(run.peakKb, peakKbOf(pid));
    std::this_thread::sleep_for(10ms);
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace

int main(int, char** argv) {
  const std::string cli = (fs::canonical("/proc/self/exe").parent_path().parent_path() / "kestrel-cli").string();
  if (!fs::exists(cli)) {
    std::fprintf(stderr, "%s: kestrel-cli not built beside the benchmarks\n", argv[0]);
    return 1;
  }
  Endpoints at;
  at.folder = fs::temp_directory_path() / ("kestrel-fleet-bench-" + std::to_string(::getpid()));
  fs::create_directories(at.folder / "locks");
  sim::WebServices web;
  if (!web.start()) return 1;
  ::setenv("KESTREL_LOOPBACK_ONLY", "1", 1);
  ::setenv("KESTREL_SERVICES", web.servicesFile().c_str(), 1);
  ::setenv("KESTREL_DEVICE_PORT", std::to_string(at.device).c_str(), 1);
  ::setenv("KESTREL_CONFIG_PORT", std::to_string(at.config).c_str(), 1);
  ::setenv("KESTREL_DISCOVERY_PORT", std::to_string(at.discovery).c_str(), 1);
  ::setenv("KESTREL_SIM_USB", at.usbList().c_str(), 1);
  ::setenv("KESTREL_SIM_WLAN", (at.folder / "wlan.list").c_str(), 1);
  ::setenv("KESTREL_LOCK_DIR", (at.folder / "locks").c_str(), 1);

  auto measure = [&](int usb, int lan) {
    Bench devices(at, usb, lan);
    return fleetRun(cli, at.folder / "summary.txt");
  };
  const Run oneUsb = measure(1, 0);
  const Run oneLan = measure(0, 1);
  const Run eight = measure(4, 4);
  if (oneUsb.status != 0 || oneLan.status != 0 || eight.status != 0) {
    std::ifstream last(at.folder / "summary.txt");
    std::fprintf(stderr, "fleet runs failed: exit status %d, %d, %d; the last one's summary:\n", oneUsb.status,
                 oneLan.status, eight.status);
    std::cerr << last.rdbuf();
    fs::remove_all(at.folder);
    return 1;
  }
  fs::remove_all(at.folder);
  const double one = (oneUsb.seconds + oneLan.seconds) / 2;
  std::printf("fleet_one_usb_s: %.2f\nfleet_one_lan_s: %.2f\nfleet_eight_s: %.2f\n", oneUsb.seconds, oneLan.seconds,
              eight.seconds);
  std::printf("fleet_eight_over_one: %.2f\n", eight.seconds / one);
  std::printf("fleet_parent_peak_kb_one: %ld\nfleet_parent_peak_kb_eight: %ld\n", std::max(oneUsb.peakKb, oneLan.peakKb),
              eight.peakKb);
  return 0;
}
