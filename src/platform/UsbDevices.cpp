#include "platform/UsbDevices.h"

#include "platform/Clock.h"
#include "platform/FileUtils.h"
#include "platform/DeviceEndpoints.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace platform {
namespace {

using namespace std::chrono_literals;

// Fast enough that a test sees an unplug within a fraction of a second, slow
// enough that a tiny file read costs nothing.
constexpr auto kSimPollInterval = 200ms;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimBlanks(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view nextField(std::string_view& rest) {
  rest = trimBlanks(rest);
  size_t end = 0;
  while (end < rest.size() && !isBlank(rest[end])) ++end;
  std::string_view field = rest.substr(0, end);
  rest.remove_prefix(end);
  return field;
}

bool parseHexId(std::string_view text, uint16_t& out) {
  if (text.empty() || text.size() > 4) return false;
  unsigned value = 0;
  for (char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
    else return false;
    value = value * 16 + digit;
  }
  out = static_cast<uint16_t>(value);
  return true;
}

bool isRepresentableTty(std::string_view path) {
  if (path.empty() || path.front() != '/') return false;
  for (unsigned char c : path) {
    if (c <= 0x20 || c == 0x7f) return false;
  }
  return true;
}

bool parseSimUsbLine(std::string_view line, UsbDevice& device) {
  std::string_view rest = line;
  std::string_view vid = nextField(rest);
  std::string_view pid = nextField(rest);
  std::string_view tty = nextField(rest);
  if (!parseHexId(vid, device.vendorId) || !parseHexId(pid, device.productId)) return false;
  if (tty == "-") {
    device.ttyNode.clear();
  } else if (isRepresentableTty(tty)) {
    device.ttyNode = std::string(tty);
  } else {
    return false;
  }
  // A stray '\r' would not survive a rewrite of the file, so it ends the text.
  device.description = std::string(trimBlanks(rest.substr(0, rest.find('\r'))));
  return true;
}

class SimUsbDeviceList : public UsbDeviceList {
 public:
  explicit SimUsbDeviceList(std::string path) : path_(std::move(path)) {}
  ~SimUsbDeviceList() override { stopMonitor(); joinFinished(); }

  std::vector<UsbDevice> presentDevices() override {
    std::string text;
    if (!readFilePrefix(path_, kSimUsbMaxFile, text)) return {};
    return parseSimUsbList(text);
  }

  bool startMonitor(UsbMonitorCallback callback) override {
    if (!callback) return false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (running_) return false;
    }
    joinFinished();
    std::vector<UsbDevice> baseline = presentDevices();
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = false;
    running_ = true;
    thread_ = std::thread([this, baseline = std::move(baseline), callback = std::move(callback)]() mutable {
      watch(std::move(baseline), callback);
    });
    return true;
  }

  void stopMonitor() override {
    std::thread finished;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
      running_ = false;
      if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) finished = std::move(thread_);
    }
    wake_.notify_all();
    if (finished.joinable()) finished.join();
  }

 private:
  void joinFinished() {
    std::thread finished;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) finished = std::move(thread_);
    }
    if (finished.joinable()) finished.join();
  }

  bool stopRequested() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_;
  }

  // The whole file is re-read each time: comparing contents cannot miss two
  // quick rewrites the way a coarse modification time can.
  void watch(std::vector<UsbDevice> previous, const UsbMonitorCallback& callback) {
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        if (wake_.wait_for(lock, scaled(kSimPollInterval), [this] { return stop_; })) return;
      }
      std::vector<UsbDevice> current = presentDevices();
      reportUsbChanges(previous, current, [&](bool arrived, const UsbDevice& device) {
        if (!stopRequested()) callback(arrived, device);
      });
      previous = std::move(current);
    }
  }

  const std::string path_;
  std::mutex mutex_;  // guards stop_, running_, thread_
  std::condition_variable wake_;
  bool stop_ = false;
  bool running_ = false;
  std::thread thread_;
};

std::mutex& currentMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<UsbDeviceList>& currentList() {  // guarded by currentMutex()
  static std::shared_ptr<UsbDeviceList> list;
  return list;
}

}  // namespace

std::vector<UsbDevice> parseSimUsbList(std::string_view text) {
  std::vector<UsbDevice> devices;
  forEachBoundedLine(text, kSimUsbMaxFile, kSimUsbMaxLine, [&](std::string_view line) {
    std::string_view content = trimBlanks(line);
    if (content.empty() || content.front() == '#') return true;
    UsbDevice device;
    if (parseSimUsbLine(content, device)) devices.push_back(std::move(device));
    return devices.size() < kSimUsbMaxDevices;
  });
  return devices;
}

std::string formatSimUsbList(const std::vector<UsbDevice>& devices) {
  std::string text;
  for (const UsbDevice& device : devices) {
    if (!device.ttyNode.empty() && !isRepresentableTty(device.ttyNode)) continue;
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04X %04X ", device.vendorId, device.productId);
    std::string line = ids;
    line += device.ttyNode.empty() ? std::string("-") : device.ttyNode;
    std::string_view description = device.description;
    description = trimBlanks(description.substr(0, description.find_first_of("\r\n")));
    if (!description.empty()) {
      line += ' ';
      line += description;
    }
    if (line.size() > kSimUsbMaxLine) line.resize(kSimUsbMaxLine);
    text += trimBlanks(line);
    text += '\n';
  }
  return text;
}

bool writeSimUsbList(const std::string& path, const std::vector<UsbDevice>& devices) {
  if (devices.size() > kSimUsbMaxDevices) return false;
  for (const UsbDevice& device : devices) {
    if (!device.ttyNode.empty() && !isRepresentableTty(device.ttyNode)) return false;
  }
  std::string text = formatSimUsbList(devices);
  // A longer file would be read only in part.
  if (text.size() > kSimUsbMaxFile) return false;
  return writeFileAtomically(path, text);
}

void reportUsbChanges(const std::vector<UsbDevice>& before, const std::vector<UsbDevice>& after,
                      const UsbMonitorCallback& callback) {
  // Lists are short (a handful of devices), so matching pairwise is fine.
  std::vector<bool> matchedAfter(after.size(), false);
  std::vector<const UsbDevice*> removed;
  for (const UsbDevice& old : before) {
    bool found = false;
    for (size_t i = 0; i < after.size(); ++i) {
      if (!matchedAfter[i] && after[i] == old) {
        matchedAfter[i] = true;
        found = true;
        break;
      }
    }
    if (!found) removed.push_back(&old);
  }
  for (const UsbDevice* device : removed) callback(false, *device);
  for (size_t i = 0; i < after.size(); ++i) {
    if (!matchedAfter[i]) callback(true, after[i]);
  }
}

std::shared_ptr<UsbDeviceList> makeSimUsbDeviceList(std::string path) {
  return std::make_shared<SimUsbDeviceList>(std::move(path));
}

std::shared_ptr<UsbDeviceList> usbDevices() {
  std::lock_guard<std::mutex> lock(currentMutex());
  auto& list = currentList();
  if (!list) {
    const std::string& simFile = deviceEndpoints().simUsbFile;
    list = simFile.empty() ? makeUdevUsbDeviceList() : makeSimUsbDeviceList(simFile);
  }
  return list;
}

void setUsbDevicesForTest(std::shared_ptr<UsbDeviceList> list) {
  std::lock_guard<std::mutex> lock(currentMutex());
  currentList() = std::move(list);
}

}  // namespace platform
