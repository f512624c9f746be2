#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// A Bluetooth device inquiry on the PC's radio.
namespace platform {

struct BluetoothDeviceFound {
  // The 48-bit device address as a number, least significant byte first on
  // the air: 00:1A:7D:DA:71:12 is 0x001A7DDA7112.
  uint64_t address = 0;
  std::string name;  // the remote name as the device sent it (UTF-8), empty when unknown
};

class BluetoothInquiry {
 public:
  virtual ~BluetoothInquiry() = default;

  // Runs an inquiry of lengthUnits x 1.28 s (clamped to 1..48) and asks each
  // device found for its name. 0 with out holding the devices (possibly
  // none); -1 when there is no radio, the inquiry failed, or the loopback
  // guard forbids using the radio; lastError() then says why.
  virtual int inquire(std::vector<BluetoothDeviceFound>& out, int lengthUnits) = 0;

  // Why the last inquire() returned -1, for the caller's log.
  virtual std::string lastError() const = 0;
};

// The HCI implementation on the first available adapter.
std::shared_ptr<BluetoothInquiry> makeHciBluetoothInquiry();

// The process-wide instance (HCI unless a test replaced it).
std::shared_ptr<BluetoothInquiry> bluetoothInquiry();

// Replaces the process-wide instance; nullptr goes back to the default.
void setBluetoothInquiryForTest(std::shared_ptr<BluetoothInquiry> inquiry);

}  // namespace platform
