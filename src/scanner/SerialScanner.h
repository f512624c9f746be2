#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/UsbDevices.h"
#include "scanner/J2534DevScanner.h"

// Finds devices attached by USB as a serial port: present USB devices with a
// known vendor/product pair, their tty nodes, and a serial-number probe on
// each. A port that cannot be opened or does not answer is still listed, with
// an empty name.
class SerialScanner : public J2534DevScanner {
 public:
  // One present USB device with a tty node.
  struct UsbDeviceInfo {
    uint32_t vendorId = 0;
    uint32_t productId = 0;
    std::string ttyNode;
  };

  SerialScanner() = default;
  SerialScanner(const SerialScanner&) = delete;
  SerialScanner& operator=(const SerialScanner&) = delete;
  virtual ~SerialScanner();

  // Every port of every known pair; always 0.
  int32_t ScanJ2534Device(J2534DeviceList& list) override;
  // The same scan for one pair, known or not.
  void ScanByVidPid(J2534DeviceList& list, uint32_t vendorId, uint32_t productId);

  // Present USB devices that have a tty node, in the platform's order.
  std::vector<UsbDeviceInfo> listUsbDevices();
  // Probes and appends each tty node of the pair that the list does not hold
  // yet, so a port is listed once however many functions share its ids.
  void findComPorts(const std::vector<UsbDeviceInfo>& devices, uint32_t vendorId, uint32_t productId,
                    J2534DeviceList& list);
  // Reads the serial number into record.name; leaves it empty on any failure.
  void probePort(J2534Device& record);

 private:
  // For every present device, in list order, each pair it shows.
  void scanPairs(std::span<const platform::UsbIds> pairs, J2534DeviceList& list);
};
