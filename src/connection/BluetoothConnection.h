#pragma once
#include <string>

#include "connection/SocketConnection.h"

// An RFCOMM link to the device's serial-port service. The address is the
// device address as hexadecimal text ("0x001a7dda7112").
class BluetoothConnection : public SocketConnection {
 public:
  explicit BluetoothConnection(std::string address);

  // Blocks for as long as the system's page and connect take.
  bool Connect() override;
  int writeData(const uint8_t* bytes, size_t count) override;
  int getType() const override { return Bluetooth; }

 private:
  // Used when the remote's service record cannot be read.
  static constexpr int kDefaultChannel = 1;

  const std::string address_;
};
