#pragma once
#include <cstdint>
#include <string>

// The device's fixed endpoints and the switches that let the virtual device
// stand in for hardware. Defaults are the real device's; each can be overridden
// by an environment variable, read once on first use:
//   KESTREL_DEVICE_HOST      device address            (192.168.100.1)
//   KESTREL_DEVICE_PORT      normal frame traffic, TCP (22488)
//   KESTREL_CONFIG_PORT      configuration session, TCP (22400)
//   KESTREL_DISCOVERY_PORT   LAN discovery, UDP        (22536)
//   KESTREL_SIM_USB          file listing USB devices instead of udev
//   KESTREL_SIM_WLAN         file listing visible networks instead of NetworkManager
//   KESTREL_LOOPBACK_ONLY=1  refuse every destination outside 127.0.0.0/8
namespace platform {

struct DeviceEndpoints {
  std::string deviceHost = "192.168.100.1";
  uint16_t devicePort = 22488;
  uint16_t configPort = 22400;
  uint16_t discoveryPort = 22536;
  std::string simUsbFile;   // empty: use udev
  std::string simWlanFile;  // empty: use NetworkManager
  bool loopbackOnly = false;
};

// The process-wide settings, read from the environment on first call.
const DeviceEndpoints& deviceEndpoints();

}  // namespace platform
