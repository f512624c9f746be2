#pragma once
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The PC's IPv4 addresses, one entry per address per interface.
namespace platform {

struct AdapterAddress {
  std::string description;          // interface name, e.g. "eth0", "lo"
  std::string ip;                   // dotted IPv4 address
  std::string mask;                 // dotted IPv4 mask ("0.0.0.0" when none)
  std::string gateway = "0.0.0.0";  // the interface's default gateway, "0.0.0.0" when none
  bool up = false;                  // the interface is administratively up
  bool loopback = false;
};

class NetworkAdapters {
 public:
  virtual ~NetworkAdapters() = default;
  // Replaces out with every IPv4 address of every interface, in the system's
  // interface order. Nothing is filtered: loopback and interfaces that are
  // down are listed with their flags, and the caller decides. False when the
  // address list cannot be read.
  virtual bool list(std::vector<AdapterAddress>& out) = 0;
};

// Reads addresses with getifaddrs and gateways from routePath.
std::shared_ptr<NetworkAdapters> makeLinuxNetworkAdapters(std::string routePath = "/proc/net/route");

// The process-wide instance (the Linux one unless a test replaced it).
std::shared_ptr<NetworkAdapters> networkAdapters();

// Replaces the process-wide instance; nullptr goes back to the default.
void setNetworkAdaptersForTest(std::shared_ptr<NetworkAdapters> adapters);

struct DefaultGateway {
  std::string interfaceName;
  std::string gateway;  // dotted

  bool operator==(const DefaultGateway&) const = default;
};

// The default routes of a routing table in the kernel's text form (header
// line, then one tab-separated line per route with the interface, destination,
// gateway, flags, refcnt, use, metric and mask; addresses as 8 hexadecimal
// digits in the machine's byte order). One entry per interface: the gateway of
// its usable default route (destination and mask zero, up, via a gateway)
// with the lowest metric, the earlier line winning a tie. Malformed lines are
// skipped; at most the first kRouteTableMaxBytes bytes are read.
constexpr size_t kRouteTableMaxBytes = 256 * 1024;
std::vector<DefaultGateway> parseDefaultGateways(std::string_view routeTable);

}  // namespace platform
