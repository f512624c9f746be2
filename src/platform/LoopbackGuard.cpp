#include "platform/LoopbackGuard.h"

#include <arpa/inet.h>
#include <bluetooth/bluetooth.h>
#include <bluetooth/rfcomm.h>
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/DeviceEndpoints.h"
#include "platform/Ipv4Text.h"

namespace platform {
namespace {

constexpr int kWarnLevel = 30000;

// Never torn down, as in the facade: threads may still log while the process exits.
__attribute__((used)) log4cplus::Initializer* keptInitializer = nullptr;

// The platform layer sits below the logging facade, so the guard hands its one
// message straight to the same root logger the facade uses.
void logRefusal(const std::string& what, int line) {
  static std::once_flag once;
  std::call_once(once, [] { keptInitializer = new log4cplus::Initializer(); });
  std::string message = "loopback guard: refused " + what;
  log4cplus::Logger root = log4cplus::Logger::getRoot();
  log4cplus::spi::InternalLoggingEvent event(root.getName(), kWarnLevel, message, "LoopbackGuard.cpp", line,
                                             "platform::destinationAllowed");
  root.forcedLog(event);
}

bool isLoopback(uint32_t ipv4NetworkOrder) { return (ntohl(ipv4NetworkOrder) >> 24) == 127; }

// Host texts come from settings and the LAN: keep the log line printable.
std::string printable(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size() && i < 128; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f) {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

std::string describe(const sockaddr* address, socklen_t length) {
  if (!address || length < static_cast<socklen_t>(sizeof(sa_family_t))) return "an empty address";
  switch (address->sa_family) {
    case AF_INET:
      if (length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(address);
        return ipv4Text(in->sin_addr.s_addr) + ":" + std::to_string(ntohs(in->sin_port));
      }
      break;
    case AF_INET6:
      if (length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        char text[INET6_ADDRSTRLEN] = {};
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        return std::string("[") + text + "]:" + std::to_string(ntohs(in6->sin6_port));
      }
      break;
    case AF_BLUETOOTH:
      if (length >= static_cast<socklen_t>(sizeof(sockaddr_rc))) {
        const auto* rc = reinterpret_cast<const sockaddr_rc*>(address);
        char text[18] = {};
        ba2str(&rc->rc_bdaddr, text);
        return std::string("bluetooth ") + text;
      }
      return "a bluetooth address";
    default:
      break;
  }
  return "address family " + std::to_string(address->sa_family);
}

bool ipv4FromMapped(const sockaddr_in6* in6, uint32_t* ipv4) {
  if (!IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) return false;
  std::memcpy(ipv4, &in6->sin6_addr.s6_addr[12], sizeof *ipv4);
  return true;
}

}  // namespace

bool loopbackGuardActive() { return deviceEndpoints().loopbackOnly; }

bool destinationAllowed(uint32_t ipv4NetworkOrder) {
  if (!loopbackGuardActive() || isLoopback(ipv4NetworkOrder)) return true;
  logRefusal(ipv4Text(ipv4NetworkOrder), __LINE__);
  return false;
}

bool destinationAllowed(const sockaddr* address, socklen_t length) {
  if (!loopbackGuardActive()) return true;
  if (address && length >= static_cast<socklen_t>(sizeof(sa_family_t))) {
    if (address->sa_family == AF_UNIX) return true;
    if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in)) &&
        isLoopback(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr))
      return true;
    uint32_t mapped = 0;
    if (address->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6)) &&
        ipv4FromMapped(reinterpret_cast<const sockaddr_in6*>(address), &mapped) && isLoopback(mapped))
      return true;
  }
  logRefusal(describe(address, length), __LINE__);
  return false;
}

bool destinationAllowed(const std::string& host) {
  if (!loopbackGuardActive()) return true;
  in_addr a{};
  if (inet_pton(AF_INET, host.c_str(), &a) == 1 && isLoopback(a.s_addr)) return true;
  logRefusal("host " + printable(host), __LINE__);
  return false;
}

}  // namespace platform
