// The list files the virtual device writes (USB devices, Wi-Fi networks) and
// the kernel's routing table, all read as hostile text. Besides crashes it
// checks that whatever the readers accept is within their limits and is
// written back in a form they read the same way.
#include "platform/NetworkAdapters.h"
#include "platform/UsbDevices.h"
#include "platform/WlanClient.h"

#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

void usbList(std::string_view text) {
  auto devices = platform::parseSimUsbList(text);
  check(devices.size() <= platform::kSimUsbMaxDevices);
  for (const auto& d : devices) {
    check(d.ttyNode.empty() || d.ttyNode.front() == '/');
    check(d.description.find_first_of("\r\n") == std::string::npos);
  }
  // One rewrite may pad the ids and shorten overlong lines; after that the
  // text must be a fixed point.
  std::string written = platform::formatSimUsbList(devices);
  check(platform::parseSimUsbList(written).size() == devices.size() || written.size() > platform::kSimUsbMaxFile);
  if (written.size() <= platform::kSimUsbMaxFile) {
    check(platform::formatSimUsbList(platform::parseSimUsbList(written)) == written);
  }
}

void wlanList(std::string_view text) {
  auto networks = platform::parseSimWlanList(text);
  check(networks.size() <= platform::kSimWlanMaxNetworks);
  for (const auto& n : networks) check(n.ssid.size() <= platform::kMaxSsidBytes && !n.interfaceName.empty());
  check(platform::parseSimWlanList(platform::formatSimWlanList(networks)) == networks);
}

void routeTable(std::string_view text) {
  auto routes = platform::parseDefaultGateways(text);
  for (size_t i = 0; i < routes.size(); ++i) {
    in_addr parsed{};
    check(inet_pton(AF_INET, routes[i].gateway.c_str(), &parsed) == 1);
    for (size_t j = 0; j < i; ++j) check(routes[j].interfaceName != routes[i].interfaceName);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  usbList(text);
  wlanList(text);
  routeTable(text);
  return 0;
}
