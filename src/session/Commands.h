#pragma once
#include <cstdint>

// The device's requests as (command, sub-command) pairs, named for what they
// ask. The reply to a request carries command + 0x40 and the same
// sub-command. Product, virtual device and tests all speak these names.
struct DeviceCommand {
  uint8_t cmd;
  uint8_t sub;

  constexpr DeviceCommand reply() const { return {static_cast<uint8_t>(cmd + kReplyOffset), sub}; }
  // One number per pair, for a switch over requests.
  constexpr uint16_t key() const { return static_cast<uint16_t>(cmd << 8 | sub); }
  static constexpr uint16_t keyOf(uint8_t cmd, uint8_t sub) { return static_cast<uint16_t>(cmd << 8 | sub); }
  constexpr bool operator==(const DeviceCommand&) const = default;

  static constexpr uint8_t kReplyOffset = 0x40;
};

// Reads of the device's command unit (address 0xF0).
inline constexpr DeviceCommand kCmdReadSerial{0x21, 0x33};         // serial number; also the LAN discovery request
inline constexpr DeviceCommand kCmdReadIdentity{0x21, 0x03};       // identity text and serial number, older firmware
inline constexpr DeviceCommand kCmdReadVersions{0x21, 0x05};       // the five version texts
inline constexpr DeviceCommand kCmdReadMode{0x21, 0x14};           // normal, J2534 or boot loader
inline constexpr DeviceCommand kCmdSwitchToJ2534{0x21, 0x11};      // Q-TRAK devices
inline constexpr DeviceCommand kCmdReadSupplyVoltage{0x40, 0x04};  // data 0x01 0x10

// Firmware images: boot entry, safety check and the image transfer.
inline constexpr DeviceCommand kCmdImageAnnounce{0x24, 0x02};
inline constexpr DeviceCommand kCmdImageChunk{0x24, 0x03};
inline constexpr DeviceCommand kCmdImageDigest{0x24, 0x04};
inline constexpr DeviceCommand kCmdQtrakEnterBoot{0x24, 0x07};
inline constexpr DeviceCommand kCmdSafetyChallenge{0x25, 0x02};
inline constexpr DeviceCommand kCmdSafetyAnswer{0x25, 0x03};
inline constexpr DeviceCommand kCmdEnterBoot{0x25, 0x05};  // no data: boot switch; 0x02: numeric boot entry

// The embedded system's unit (address 0xF1).
inline constexpr DeviceCommand kCmdSystemChunk{0x2C, 0x05};
inline constexpr DeviceCommand kCmdSystemInstall{0x2C, 0x07};
inline constexpr DeviceCommand kCmdReadSystemVersion{0x2C, 0x0A};
inline constexpr DeviceCommand kCmdSetWifi{0x2C, 0x12};
inline constexpr DeviceCommand kCmdDiscoverLink{0x2C, 0x2A};  // LAN discovery broadcast only
