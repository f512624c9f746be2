#include "platform/NetworkAdapters.h"

#include "platform/FileUtils.h"
#include "platform/Ipv4Text.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>

#include <climits>
#include <cstdint>
#include <mutex>

namespace platform {
namespace {

constexpr size_t kRouteLineMax = 512;
// More interfaces than any PC has; keeps the per-line search short on hostile input.
constexpr size_t kMaxRouteInterfaces = 256;

bool parseHex32(std::string_view text, size_t maxDigits, uint32_t& out) {
  if (text.empty() || text.size() > maxDigits) return false;
  uint32_t value = 0;
  for (char c : text) {
    uint32_t d;
    if (c >= '0' && c <= '9') d = static_cast<uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f') d = static_cast<uint32_t>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') d = static_cast<uint32_t>(c - 'A' + 10);
    else return false;
    value = (value << 4) | d;
  }
  out = value;
  return true;
}

bool parseDecimal(std::string_view text, uint64_t& out) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  out = value;
  return true;
}

std::string dotted(in_addr address) { return ipv4Text(address.s_addr); }

std::string dottedFromSockaddr(const sockaddr* sa) {
  if (!sa || sa->sa_family != AF_INET) return "0.0.0.0";
  return dotted(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr);
}

std::vector<std::string_view> splitFields(std::string_view line, size_t maxFields) {
  std::vector<std::string_view> fields;
  size_t i = 0;
  while (i < line.size() && fields.size() < maxFields) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) fields.push_back(line.substr(start, i - start));
  }
  return fields;
}

class LinuxNetworkAdapters : public NetworkAdapters {
 public:
  explicit LinuxNetworkAdapters(std::string routePath) : routePath_(std::move(routePath)) {}

  bool list(std::vector<AdapterAddress>& out) override {
    out.clear();
    ifaddrs* head = nullptr;
    if (getifaddrs(&head) != 0) return false;
    std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(head, freeifaddrs);

    // Without a readable routing table the addresses are still worth having.
    std::string table;
    std::vector<DefaultGateway> gateways;
    if (readFilePrefix(routePath_, kRouteTableMaxBytes, table)) gateways = parseDefaultGateways(table);

    for (ifaddrs* entry = head; entry; entry = entry->ifa_next) {
      if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !entry->ifa_name) continue;
      AdapterAddress address;
      address.description = entry->ifa_name;
      address.ip = dottedFromSockaddr(entry->ifa_addr);
      address.mask = dottedFromSockaddr(entry->ifa_netmask);
      address.up = (entry->ifa_flags & IFF_UP) != 0;
      address.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
      for (const DefaultGateway& route : gateways) {
        if (route.interfaceName == address.description) {
          address.gateway = route.gateway;
          break;
        }
      }
      out.push_back(std::move(address));
    }
    return true;
  }

 private:
  const std::string routePath_;
};

std::mutex& currentMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<NetworkAdapters>& currentAdapters() {  // guarded by currentMutex()
  static std::shared_ptr<NetworkAdapters> adapters;
  return adapters;
}

}  // namespace

std::vector<DefaultGateway> parseDefaultGateways(std::string_view routeTable) {
  struct Best {
    DefaultGateway route;
    uint64_t metric;
  };
  std::vector<Best> best;
  forEachBoundedLine(routeTable, kRouteTableMaxBytes, kRouteLineMax, [&](std::string_view line) {
    auto fields = splitFields(line, 8);
    if (fields.size() < 8 || fields[0].size() >= IFNAMSIZ) return true;
    uint32_t destination, gateway, flags, mask;
    uint64_t metric;
    if (!parseHex32(fields[1], 8, destination) || !parseHex32(fields[2], 8, gateway) ||
        !parseHex32(fields[3], 8, flags) || !parseDecimal(fields[6], metric) || !parseHex32(fields[7], 8, mask)) {
      return true;
    }
    if (destination != 0 || mask != 0 || (flags & RTF_UP) == 0 || (flags & RTF_GATEWAY) == 0) return true;
    // The kernel prints the address as it lies in memory, so the parsed value
    // is already in network byte order on this machine.
    in_addr address{};
    address.s_addr = gateway;
    std::string name(fields[0]);
    for (Best& known : best) {
      if (known.route.interfaceName == name) {
        if (metric < known.metric) known = Best{{name, dotted(address)}, metric};
        return true;
      }
    }
    best.push_back(Best{{std::move(name), dotted(address)}, metric});
    return best.size() < kMaxRouteInterfaces;
  });
  std::vector<DefaultGateway> routes;
  routes.reserve(best.size());
  for (Best& b : best) routes.push_back(std::move(b.route));
  return routes;
}

std::shared_ptr<NetworkAdapters> makeLinuxNetworkAdapters(std::string routePath) {
  return std::make_shared<LinuxNetworkAdapters>(std::move(routePath));
}

std::shared_ptr<NetworkAdapters> networkAdapters() {
  std::lock_guard<std::mutex> lock(currentMutex());
  auto& adapters = currentAdapters();
  if (!adapters) adapters = makeLinuxNetworkAdapters();
  return adapters;
}

void setNetworkAdaptersForTest(std::shared_ptr<NetworkAdapters> adapters) {
  std::lock_guard<std::mutex> lock(currentMutex());
  currentAdapters() = std::move(adapters);
}

}  // namespace platform
