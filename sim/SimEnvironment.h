#pragma once
#include <string>
#include <utility>
#include <vector>

// The environment the product reads (once) to reach the simulator instead of
// hardware and the maker's hosts.
namespace sim {

using EnvList = std::vector<std::pair<std::string, std::string>>;

class VirtualDevice;
class WebServices;

// KESTREL_DEVICE_HOST, KESTREL_DEVICE_PORT, KESTREL_CONFIG_PORT,
// KESTREL_DISCOVERY_PORT, KESTREL_SIM_USB, KESTREL_SIM_WLAN from the device and
// KESTREL_SERVICES from the web services (either may be null), plus
// KESTREL_LOOPBACK_ONLY=1 unless the device listens off loopback.
EnvList simEnvironment(const VirtualDevice* device, const WebServices* services);

// setenv() for every pair, overwriting. Call it before the product first
// reads its settings.
void applyEnvironment(const EnvList& env);

// "export NAME=value" lines, values quoted for a POSIX shell.
std::string exportLines(const EnvList& env);

}  // namespace sim
