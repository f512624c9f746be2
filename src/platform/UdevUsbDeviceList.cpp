#include "platform/Clock.h"
#include "platform/UsbDevices.h"

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

namespace platform {
namespace {

using namespace std::chrono_literals;

// A plug-in arrives as a burst of events (the USB device, its interfaces, its
// tty); the list is read again once the burst has been quiet this long, so a
// device is reported once with its tty rather than first without it.
constexpr auto kSettleQuiet = 250ms;
// A device that keeps sending events (a flapping hub) still gets a rescan.
constexpr auto kSettleLimit = 2000ms;
constexpr size_t kMaxDescription = 128;

struct UdevDeleter {
  void operator()(udev* p) const { udev_unref(p); }
  void operator()(udev_enumerate* p) const { udev_enumerate_unref(p); }
  void operator()(udev_device* p) const { udev_device_unref(p); }
  void operator()(udev_monitor* p) const { udev_monitor_unref(p); }
};
template <typename T>
using UdevPtr = std::unique_ptr<T, UdevDeleter>;

bool parseHexAttribute(const char* text, uint16_t& out) {
  if (!text) return false;
  unsigned value = 0;
  int digits = 0;
  for (const char* p = text; *p && *p != '\n'; ++p, ++digits) {
    char c = *p;
    unsigned d;
    if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
    else return false;
    if (digits >= 4) return false;
    value = value * 16 + d;
  }
  if (digits == 0) return false;
  out = static_cast<uint16_t>(value);
  return true;
}

std::string describe(udev_device* usb) {
  std::string text;
  for (const char* attribute : {"manufacturer", "product"}) {
    const char* value = udev_device_get_sysattr_value(usb, attribute);
    if (!value || !*value) continue;
    if (!text.empty()) text += ' ';
    text += value;
  }
  if (text.size() > kMaxDescription) text.resize(kMaxDescription);
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  return text;
}

// Syspath of each USB device that has a tty, with its tty nodes.
std::map<std::string, std::vector<std::string>> ttysByUsbDevice(udev* context) {
  std::map<std::string, std::vector<std::string>> ttys;
  UdevPtr<udev_enumerate> enumerate(udev_enumerate_new(context));
  if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), "tty") < 0 ||
      udev_enumerate_scan_devices(enumerate.get()) < 0) {
    return ttys;
  }
  udev_list_entry* entry;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
    UdevPtr<udev_device> tty(udev_device_new_from_syspath(context, udev_list_entry_get_name(entry)));
    if (!tty) continue;
    const char* node = udev_device_get_devnode(tty.get());
    // The parent belongs to the child; it is not unreferenced here.
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty.get(), "usb", "usb_device");
    if (!node || !usb) continue;
    if (const char* usbPath = udev_device_get_syspath(usb)) ttys[usbPath].push_back(node);
  }
  for (auto& [path, nodes] : ttys) std::sort(nodes.begin(), nodes.end());
  return ttys;
}

class UdevUsbDeviceList : public UsbDeviceList {
 public:
  ~UdevUsbDeviceList() override { stopMonitor(); joinFinished(); }

  std::vector<UsbDevice> presentDevices() override {
    std::vector<UsbDevice> devices;
    UdevPtr<udev> context(udev_new());
    if (!context) return devices;
    auto ttys = ttysByUsbDevice(context.get());
    UdevPtr<udev_enumerate> enumerate(udev_enumerate_new(context.get()));
    if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), "usb") < 0 ||
        udev_enumerate_add_match_property(enumerate.get(), "DEVTYPE", "usb_device") < 0 ||
        udev_enumerate_scan_devices(enumerate.get()) < 0) {
      return devices;
    }
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
      const char* path = udev_list_entry_get_name(entry);
      UdevPtr<udev_device> usb(udev_device_new_from_syspath(context.get(), path));
      if (!usb) continue;
      UsbDevice device;
      if (!parseHexAttribute(udev_device_get_sysattr_value(usb.get(), "idVendor"), device.vendorId) ||
          !parseHexAttribute(udev_device_get_sysattr_value(usb.get(), "idProduct"), device.productId)) {
        continue;
      }
      device.description = describe(usb.get());
      auto found = ttys.find(path);
      if (found == ttys.end()) {
        devices.push_back(device);
        continue;
      }
      for (const std::string& node : found->second) {
        device.ttyNode = node;
        devices.push_back(device);
      }
    }
    return devices;
  }

  bool startMonitor(UsbMonitorCallback callback) override {
    if (!callback) return false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (running_) return false;
    }
    joinFinished();

    UdevPtr<udev> context(udev_new());
    if (!context) return false;
    // Without a udev daemon nothing arrives on the "udev" source; the kernel's
    // own events still tell that sysfs changed, and a rescan reads the rest.
    const char* source = ::access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
    UdevPtr<udev_monitor> monitor(udev_monitor_new_from_netlink(context.get(), source));
    if (!monitor || udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "tty", nullptr) < 0 ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "usb", "usb_device") < 0 ||
        udev_monitor_enable_receiving(monitor.get()) < 0) {
      return false;
    }
    int stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd < 0) return false;

    std::vector<UsbDevice> baseline = presentDevices();
    std::lock_guard<std::mutex> lock(mutex_);
    stopFd_ = stopFd;
    running_ = true;
    thread_ = std::thread([this, context = std::move(context), monitor = std::move(monitor), stopFd,
                           baseline = std::move(baseline), callback = std::move(callback)]() mutable {
      watch(monitor.get(), stopFd, std::move(baseline), callback);
    });
    return true;
  }

  void stopMonitor() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (running_) {
        uint64_t one = 1;
        // One write cannot overflow an eventfd counter; the result needs no check.
        [[maybe_unused]] ssize_t n = ::write(stopFd_, &one, sizeof one);
      }
      running_ = false;
    }
    joinFinished();
  }

 private:
  // The stop eventfd lives until its thread is joined, so a late write can
  // never reach a descriptor number that has been reused.
  void joinFinished() {
    std::thread finished;
    int fd = -1;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        finished = std::move(thread_);
        fd = stopFd_;
        stopFd_ = -1;
      }
    }
    if (finished.joinable()) finished.join();
    if (fd >= 0) ::close(fd);
  }

  static bool stopSignalled(int stopFd) {
    pollfd pfd{stopFd, POLLIN, 0};
    return ::poll(&pfd, 1, 0) > 0;
  }

  static void drain(udev_monitor* monitor) {
    while (UdevPtr<udev_device> event{udev_monitor_receive_device(monitor)}) {
    }
  }

  // Waits for one event, then until events have stopped for kSettleQuiet.
  // False when stop was signalled.
  static bool waitForSettledChange(udev_monitor* monitor, int stopFd) {
    pollfd fds[2] = {{udev_monitor_get_fd(monitor), POLLIN, 0}, {stopFd, POLLIN, 0}};
    int timeoutMs = -1;
    int64_t limitAt = 0;
    bool changed = false;
    for (;;) {
      int n = ::poll(fds, 2, timeoutMs);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      if (fds[1].revents) return false;
      if (n == 0) return true;  // quiet after a change
      if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
      drain(monitor);
      if (!changed) {
        changed = true;
        limitAt = nowMs() + scaled(kSettleLimit).count();
      } else if (nowMs() >= limitAt) {
        return true;
      }
      timeoutMs = static_cast<int>(scaled(kSettleQuiet).count());
    }
  }

  void watch(udev_monitor* monitor, int stopFd, std::vector<UsbDevice> previous, const UsbMonitorCallback& callback) {
    while (waitForSettledChange(monitor, stopFd)) {
      std::vector<UsbDevice> current = presentDevices();
      reportUsbChanges(previous, current, [&](bool arrived, const UsbDevice& device) {
        if (!stopSignalled(stopFd)) callback(arrived, device);
      });
      previous = std::move(current);
    }
  }

  std::mutex mutex_;  // guards running_, stopFd_, thread_
  bool running_ = false;
  int stopFd_ = -1;  // wakes the monitor thread; closed once it is joined
  std::thread thread_;
};

}  // namespace

std::shared_ptr<UsbDeviceList> makeUdevUsbDeviceList() { return std::make_shared<UdevUsbDeviceList>(); }

}  // namespace platform
