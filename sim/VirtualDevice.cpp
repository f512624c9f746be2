#include "VirtualDevice.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "DeviceLinks.h"
#include "ListenAddress.h"
#include "platform/Clock.h"
#include "platform/UsbDevices.h"
#include "platform/WlanClient.h"
#include "utils/LogFacade.h"

namespace sim {
namespace {

using std::chrono::milliseconds;

// A USB function that dropped off the bus by itself is back this soon.
constexpr milliseconds kReplugDelay{500};

}  // namespace

class DeviceLinks {
 public:
  explicit DeviceLinks(DeviceCore& core) : tcp(core), pty(core), discovery(core) {}
  TcpLink tcp;
  PtyLink pty;
  DiscoveryLink discovery;
};

VirtualDevice::VirtualDevice(DeviceConfig device, LinkConfig links)
    : core_(std::move(device)), linkConfig_(std::move(links)) {}

VirtualDevice::~VirtualDevice() { stop(); }

bool VirtualDevice::start() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (started_) return true;
    stopping_ = false;
    timeline_.clear();
  }
  if (std::string why = listenRefusal(linkConfig_.listenAddress); !why.empty()) {
    LOG_WARN("virtual device will not listen on %s: %s", linkConfig_.listenAddress.c_str(), why.c_str());
    return false;
  }
  usbFile_ = linkConfig_.usbListFile;
  wlanFile_ = linkConfig_.wlanListFile;
  if (usbFile_.empty() || wlanFile_.empty()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrel-sim-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return false;
    privateDir_ = pattern;
    if (usbFile_.empty()) usbFile_ = privateDir_ + "/usb-devices.list";
    if (wlanFile_.empty()) wlanFile_ = privateDir_ + "/wlan-networks.list";
  }

  links_ = std::make_unique<DeviceLinks>(core_);
  links_->pty.onLost = [this] {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    schedule(Action::Reenumerate, platform::scaled(kReplugDelay), DeviceMode::Normal);
  };
  core_.setHooks({
      [this](DeviceMode mode, bool comeBack, milliseconds dropAfter) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        ++restarts_;
        dropPendingUps();
        milliseconds drop = platform::scaled(dropAfter);
        schedule(Action::Down, drop, mode);
        if (comeBack) schedule(Action::Up, drop + platform::scaled(core_.config().restartDelay), mode);
      },
      [this](DeviceMode) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        schedule(Action::Reenumerate, platform::scaled(milliseconds{100}), DeviceMode::Normal);
      },
  });

  bool ok = links_->tcp.startThread() && links_->pty.startThread() && links_->discovery.startThread();
  if (ok) {
    std::vector<platform::SimWlanNetwork> networks;
    for (const auto& [interfaceName, ssid] : linkConfig_.wlanNetworks) networks.push_back({interfaceName, ssid});
    ok = platform::writeSimWlanList(wlanFile_, networks);
    if (!ok) LOG_WARN("virtual device cannot write %s", wlanFile_.c_str());
  }
  if (ok) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      started_ = true;
    }
    goUp(core_.config().mode);
    std::lock_guard<std::mutex> lock(mutex_);
    ok = online_;
  }
  if (!ok) {
    stop();
    return false;
  }
  powerThread_ = std::thread([this] { powerLoop(); });
  return true;
}

void VirtualDevice::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!links_) return;
    stopping_ = true;
    for (auto& t : timeline_) {
      if (t.done) t.done->set_value();
    }
    timeline_.clear();
  }
  changed_.notify_all();
  if (powerThread_.joinable()) powerThread_.join();
  core_.setHooks({});
  links_->tcp.stopThread();
  links_->pty.stopThread();
  links_->discovery.stopThread();
  links_.reset();
  if (!privateDir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(privateDir_, ec);
    privateDir_.clear();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  started_ = false;
  online_ = false;
  ttyPath_.clear();
  for (auto& port : ports_) port = 0;
  changed_.notify_all();
}

void VirtualDevice::setSilent(uint8_t command, uint8_t subCommand) {
  addFault({FaultKind::NoReply, command, subCommand, Occurrence::every()});
}

uint16_t VirtualDevice::devicePort() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ports_[0];
}

uint16_t VirtualDevice::configPort() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ports_[1];
}

uint16_t VirtualDevice::discoveryPort() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ports_[2];
}

std::string VirtualDevice::ttyPath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ttyPath_;
}

std::string VirtualDevice::usbListFile() const { return usbFile_; }
std::string VirtualDevice::wlanListFile() const { return wlanFile_; }

void VirtualDevice::schedule(Action action, milliseconds after, DeviceMode mode,
                             std::shared_ptr<std::promise<void>> done) {
  timeline_.push_back({std::chrono::steady_clock::now() + after, action, mode, std::move(done)});
  std::stable_sort(timeline_.begin(), timeline_.end(), [](const Timed& a, const Timed& b) { return a.at < b.at; });
  changed_.notify_all();
}

void VirtualDevice::dropPendingUps() {
  for (auto it = timeline_.begin(); it != timeline_.end();) {
    if (it->action == Action::Up) {
      if (it->done) it->done->set_value();
      it = timeline_.erase(it);
    } else {
      ++it;
    }
  }
}

void VirtualDevice::runNow(Action action, DeviceMode mode) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!started_ || stopping_) return;
    schedule(action, milliseconds{0}, mode, done);
  }
  finished.wait();
}

void VirtualDevice::restart(DeviceMode mode, bool comeBack) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!started_ || stopping_) return;
    ++restarts_;
    dropPendingUps();
    if (comeBack) schedule(Action::Up, platform::scaled(core_.config().restartDelay), mode);
  }
  runNow(Action::Down, mode);
}

void VirtualDevice::powerOff() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dropPendingUps();
  }
  runNow(Action::Down, DeviceMode::Normal);
}

void VirtualDevice::powerOn(DeviceMode mode) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dropPendingUps();
  }
  runNow(Action::Up, mode);
}

bool VirtualDevice::online() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return online_;
}

unsigned VirtualDevice::restartCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return restarts_;
}

bool VirtualDevice::waitOnline(milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return online_; });
}

bool VirtualDevice::waitOffline(milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return !online_; });
}

void VirtualDevice::powerLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (timeline_.empty()) {
      changed_.wait(lock);
      continue;
    }
    auto at = timeline_.front().at;
    if (std::chrono::steady_clock::now() < at) {
      changed_.wait_until(lock, at);
      continue;
    }
    Timed next = timeline_.front();
    timeline_.erase(timeline_.begin());
    lock.unlock();
    switch (next.action) {
      case Action::Down: goDown(); break;
      case Action::Up: goUp(next.mode); break;
      case Action::Reenumerate: reenumerate(); break;
    }
    if (next.done) next.done->set_value();
    lock.lock();
  }
}

void VirtualDevice::goDown() {
  links_->tcp.call([this] { links_->tcp.down(); });
  links_->pty.call([this] { links_->pty.down(); });
  links_->discovery.call([this] { links_->discovery.down(); });
  {
    std::lock_guard<std::mutex> lock(mutex_);
    online_ = false;
    ttyPath_.clear();
  }
  writeUsbList();
  changed_.notify_all();
}

void VirtualDevice::goUp(DeviceMode mode) {
  core_.setMode(mode);
  bool ok = true;
  uint16_t ports[3] = {0, 0, 0};
  std::string tty;
  if (linkConfig_.tcp) {
    links_->tcp.call([&] {
      ok = links_->tcp.listen(linkConfig_.listenAddress, linkConfig_.devicePort, linkConfig_.configPort) && ok;
      ports[0] = links_->tcp.devicePort();
      ports[1] = links_->tcp.configPort();
    });
  }
  if (linkConfig_.pty) {
    links_->pty.call([&] {
      ok = links_->pty.open() && ok;
      tty = links_->pty.ttyPath();
    });
  }
  if (linkConfig_.discovery) {
    links_->discovery.call([&] {
      ok = links_->discovery.bind(linkConfig_.listenAddress, linkConfig_.discoveryPort) && ok;
      ports[2] = links_->discovery.port();
    });
  }
  if (!ok) LOG_WARN("virtual device came back without some of its links");
  bool up = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Only the first start may fail as a whole; afterwards a device with a
    // lost link is still a device.
    up = ok || ports_[0] != 0 || ports_[2] != 0 || !ttyPath_.empty();
    if (ports[0]) ports_[0] = ports[0];
    if (ports[1]) ports_[1] = ports[1];
    if (ports[2]) ports_[2] = ports[2];
    ttyPath_ = tty;
  }
  writeUsbList();
  {
    // Online only once listed, so whoever waits for it finds its USB port.
    std::lock_guard<std::mutex> lock(mutex_);
    online_ = up;
  }
  changed_.notify_all();
}

void VirtualDevice::reenumerate() {
  if (!linkConfig_.pty) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!online_) return;
  }
  std::string tty;
  links_->pty.call([&] {
    links_->pty.open();
    tty = links_->pty.ttyPath();
  });
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ttyPath_ = tty;
  }
  writeUsbList();
  changed_.notify_all();
}

void VirtualDevice::writeUsbList() {
  std::vector<platform::UsbDevice> devices;
  std::string tty = ttyPath();
  if (!tty.empty()) {
    DeviceConfig config = core_.config();
    bool boot = config.mode == DeviceMode::BootLoader;
    devices.push_back({boot ? platform::kBootLoaderUsbIds.vendorId : config.usbVendor,
                       boot ? platform::kBootLoaderUsbIds.productId : config.usbProduct, tty,
                       boot ? "Kestrel boot loader" : "Kestrel virtual device"});
  }
  if (!platform::writeSimUsbList(usbFile_, devices)) LOG_WARN("virtual device cannot write %s", usbFile_.c_str());
}

bool VirtualDevice::listensOnLoopback() const { return isLoopbackAddress(linkConfig_.listenAddress); }

EnvList VirtualDevice::environment() const {
  EnvList env;
  env.emplace_back("KESTREL_DEVICE_HOST", linkConfig_.listenAddress);
  if (linkConfig_.tcp) {
    env.emplace_back("KESTREL_DEVICE_PORT", std::to_string(devicePort()));
    env.emplace_back("KESTREL_CONFIG_PORT", std::to_string(configPort()));
  }
  if (linkConfig_.discovery) env.emplace_back("KESTREL_DISCOVERY_PORT", std::to_string(discoveryPort()));
  env.emplace_back("KESTREL_SIM_USB", usbFile_);
  env.emplace_back("KESTREL_SIM_WLAN", wlanFile_);
  return env;
}

}  // namespace sim
