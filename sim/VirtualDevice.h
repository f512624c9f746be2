#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "DeviceCore.h"
#include "SimEnvironment.h"

// The virtual device on its links: TCP listeners for the normal and the
// configuration port, a pty standing for the USB serial port, and the UDP
// discovery responder, all on loopback unless told otherwise. It writes the simulated USB list and
// WLAN list files, and restarts (links dropped, back after a delay) when the
// protocol says the real device would.
//
//   sim::VirtualDevice dev({.serialNumber = "744443100001", .firmwareVersion = "V1.0"});
//   ASSERT_TRUE(dev.start());
//   sim::applyEnvironment(sim::simEnvironment(&dev, &web));
//   dev.addFault(sim::faultOn(kCmdImageChunk, {.kind = sim::FaultKind::NoReply, .when = sim::Occurrence::nth(2)}));
//   ... drive the product ...
//   EXPECT_TRUE(dev.core().image(sim::ImageSlot::Firmware).accepted);
namespace sim {

struct LinkConfig {
  // TCP and discovery; another than loopback only inside a network namespace
  // of its own (ListenAddress.h).
  std::string listenAddress = "127.0.0.1";
  bool tcp = true;
  uint16_t devicePort = 0;  // 0: ephemeral
  uint16_t configPort = 0;
  bool pty = true;
  bool discovery = true;
  uint16_t discoveryPort = 0;  // 0: ephemeral
  // Empty: files in a private folder that stop() removes.
  std::string usbListFile{};
  std::string wlanListFile{};
  // Networks the PC sees, as (interface, ssid).
  std::vector<std::pair<std::string, std::string>> wlanNetworks = {{"wlan0", "KestrelLab"},
                                                                   {"wlan0", "Workshop-5G"}};
};

class DeviceLinks;

class VirtualDevice {
 public:
  explicit VirtualDevice(DeviceConfig device = {}, LinkConfig links = {});
  ~VirtualDevice();
  VirtualDevice(const VirtualDevice&) = delete;
  VirtualDevice& operator=(const VirtualDevice&) = delete;

  // Binds every link and writes the list files. False (nothing left running)
  // when a link cannot be set up or the listen address is refused.
  bool start();
  // Closes every link and removes the files it owns; safe to call twice.
  void stop();

  DeviceCore& core() { return core_; }
  const DeviceCore& core() const { return core_; }
  void addFault(const Fault& fault) { core_.faults().add(fault); }
  // Never answer this request kind.
  void setSilent(uint8_t command, uint8_t subCommand);
  void setSilent(DeviceCommand request) { setSilent(request.cmd, request.sub); }

  // Ports stay the same across restarts.
  uint16_t devicePort() const;
  uint16_t configPort() const;
  uint16_t discoveryPort() const;
  // The pty's slave path (the "tty node"); empty while the device is down or
  // without a pty link. A restart or re-enumeration gives a new path.
  std::string ttyPath() const;
  std::string usbListFile() const;
  std::string wlanListFile() const;

  // Power cycle: every link drops now and comes back in mode after the
  // configured restartDelay (never when comeBack is false).
  void restart(DeviceMode mode, bool comeBack = true);
  // Unplugged / plugged back in: down until powerOn().
  void powerOff();
  void powerOn(DeviceMode mode = DeviceMode::Normal);

  bool online() const;
  unsigned restartCount() const;  // restarts begun so far
  bool waitOnline(std::chrono::milliseconds timeout) const;
  bool waitOffline(std::chrono::milliseconds timeout) const;

  bool listensOnLoopback() const;
  // KESTREL_DEVICE_HOST ... KESTREL_SIM_WLAN for this device.
  EnvList environment() const;

 private:
  enum class Action { Down, Up, Reenumerate };
  struct Timed {
    std::chrono::steady_clock::time_point at;
    Action action;
    DeviceMode mode;
    std::shared_ptr<std::promise<void>> done;  // set once the action ran
  };
  // mutex_ held.
  void schedule(Action action, std::chrono::milliseconds after, DeviceMode mode,
                std::shared_ptr<std::promise<void>> done = nullptr);
  void dropPendingUps();
  void runNow(Action action, DeviceMode mode);
  void powerLoop();
  void goDown();
  void goUp(DeviceMode mode);
  void reenumerate();
  void writeUsbList();

  DeviceCore core_;
  LinkConfig linkConfig_;
  std::unique_ptr<DeviceLinks> links_;
  std::string privateDir_;
  std::string usbFile_;
  std::string wlanFile_;

  mutable std::mutex mutex_;  // guards the power state below
  mutable std::condition_variable changed_;
  bool started_ = false;
  bool online_ = false;
  bool stopping_ = false;
  unsigned restarts_ = 0;
  uint16_t ports_[3] = {0, 0, 0};  // device, config, discovery
  std::string ttyPath_;
  std::vector<Timed> timeline_;
  std::thread powerThread_;
};

}  // namespace sim
