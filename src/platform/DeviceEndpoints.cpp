#include "platform/DeviceEndpoints.h"

#include <cstdlib>

namespace platform {
namespace {

std::string envText(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return (v && *v) ? std::string(v) : fallback;
}

uint16_t envPort(const char* name, uint16_t fallback) {
  const char* v = std::getenv(name);
  if (!v || !*v) return fallback;
  char* end = nullptr;
  long n = std::strtol(v, &end, 10);
  return (*end == '\0' && n > 0 && n < 65536) ? static_cast<uint16_t>(n) : fallback;
}

DeviceEndpoints readSettings() {
  DeviceEndpoints s;
  s.deviceHost = envText("KESTREL_DEVICE_HOST", s.deviceHost);
  s.devicePort = envPort("KESTREL_DEVICE_PORT", s.devicePort);
  s.configPort = envPort("KESTREL_CONFIG_PORT", s.configPort);
  s.discoveryPort = envPort("KESTREL_DISCOVERY_PORT", s.discoveryPort);
  s.simUsbFile = envText("KESTREL_SIM_USB", "");
  s.simWlanFile = envText("KESTREL_SIM_WLAN", "");
  s.loopbackOnly = envText("KESTREL_LOOPBACK_ONLY", "") == "1";
  return s;
}

}  // namespace

const DeviceEndpoints& deviceEndpoints() {
  static const DeviceEndpoints settings = readSettings();
  return settings;
}

}  // namespace platform
