#pragma once
#include <mutex>
#include <string>

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
  bool findBootPort();

  bool isQtrakBrand() const;

 private:
  CurrentDevice() = default;

  mutable std::mutex lock_;  // guards configSerialPort_
  std::string configSerialPort_;
};
