#pragma once
#include <cstdint>
#include <string>
#include <vector>

// One device found by a scan.
struct J2534Device {
  std::string name;      // serial number, SSID, Bluetooth name or the LAN answer's text
  uint32_t addr = 0;     // IPv4 address in network byte order, or low half of a Bluetooth address
  uint32_t addrEx = 0;   // high half of a Bluetooth address
  std::string port;      // serial port (tty path) of a USB serial device
  uint32_t connectType = 0;
};

using J2534DeviceList = std::vector<J2534Device>;

// Same device: equal names or equal addresses.
inline bool isSameDevice(const J2534Device& a, const J2534Device& b) {
  return a.name == b.name || a.addr == b.addr;
}
