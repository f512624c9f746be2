#pragma once
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "VirtualDevice.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "support/LoopbackSockets.h"
#include "support/WaitUntil.h"

// The virtual device on endpoints fixed for the whole test process. The
// product reads its endpoints once, so the first call picks free ports and
// list files and exports them; every device the process starts afterwards
// binds those same ports, and a test binary also runs whole, not only one
// test per process.
namespace scantest {

struct ProcessLinks {
  uint16_t devicePort = 0;
  uint16_t configPort = 0;
  uint16_t discoveryPort = 0;
  std::string usbFile;
  std::string wlanFile;
};

using testsupport::freePort;

inline const ProcessLinks& processLinks() {
  static const ProcessLinks links = [] {
    ProcessLinks l;
    l.devicePort = freePort(SOCK_STREAM, "127.0.0.1");
    l.configPort = freePort(SOCK_STREAM, "127.0.0.1");
    l.discoveryPort = freePort(SOCK_DGRAM, "127.255.255.255");
    l.usbFile = platform::joinPath(platform::workRoot(), "sim-usb.list");
    l.wlanFile = platform::joinPath(platform::workRoot(), "sim-wlan.list");
    setenv("KESTREL_DEVICE_HOST", "127.0.0.1", 1);
    setenv("KESTREL_DEVICE_PORT", std::to_string(l.devicePort).c_str(), 1);
    setenv("KESTREL_CONFIG_PORT", std::to_string(l.configPort).c_str(), 1);
    setenv("KESTREL_DISCOVERY_PORT", std::to_string(l.discoveryPort).c_str(), 1);
    setenv("KESTREL_SIM_USB", l.usbFile.c_str(), 1);
    setenv("KESTREL_SIM_WLAN", l.wlanFile.c_str(), 1);
    setenv("KESTREL_LOOPBACK_ONLY", "1", 1);
    return l;
  }();
  return links;
}

// The device's side of the process's endpoints.
inline sim::LinkConfig linkConfig() {
  const ProcessLinks& l = processLinks();
  sim::LinkConfig links;
  links.devicePort = l.devicePort;
  links.configPort = l.configPort;
  links.discoveryPort = l.discoveryPort;
  links.usbListFile = l.usbFile;
  links.wlanListFile = l.wlanFile;
  return links;
}

// A started device, or nullptr when a link could not be set up.
// The process's ports were free when picked, but a short-lived connection of
// a test running beside this one may hold one for a moment: try for a second.
inline std::unique_ptr<sim::VirtualDevice> startDevice(sim::DeviceConfig config = {},
                                                       sim::LinkConfig links = linkConfig()) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    auto device = std::make_unique<sim::VirtualDevice>(config, links);
    if (device->start()) return device;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return nullptr;
}

using testsupport::waitUntil;

}  // namespace scantest
