#pragma once
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

// One device a run is bound to, whatever else is attached: its serial port
// (USB) or its address (LAN, Wi-Fi, Bluetooth), and the serial number it
// answered with. A run of several devices at once binds each of its runs.
struct PinnedDevice {
  int type = 0;          // ConnectType
  std::string port;      // serial: the tty path it was found on
  uint32_t addr = 0;     // network: stored form (lowest byte = first number)
  uint32_t addrEx = 0;   // Bluetooth: high word of the address
  std::string serialNumber;
};

// The device the program works with: the serial port of a device found in its
// boot loader.
class CurrentDevice {
 public:
  static CurrentDevice& getInstance();

  // Port name (tty path) of the last device found in boot mode; empty before.
  std::string configSerialPort() const;
  void setConfigSerialPort(const std::string& port);

  // Looks for a USB device in boot mode (0000:0002) and stores the port of
  // the first one found. False, with the stored port kept, when none is there.
  // When bound to a device, only a boot-mode port that answers with its
  // serial number counts, so a run never takes another device's boot loader.
  bool findBootPort();

  void pin(const PinnedDevice& device);
  std::optional<PinnedDevice> pinned() const;
  bool pinnedToSerialPort() const;
  // The pinned device's serial port now, normal or boot loader, into
  // configSerialPort(): one this run holds, or one answering with its serial
  // number (a silent boot loader only when it is the one there is).
  bool findPinnedPort();

  bool isQtrakBrand() const;

 private:
  CurrentDevice() = default;
  bool findPinnedPort(const PinnedDevice& bound, bool bootOnly);

  mutable std::mutex lock_;  // guards the fields below
  std::string configSerialPort_;
  std::optional<PinnedDevice> pinned_;
};
