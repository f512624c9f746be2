#pragma once
#include <chrono>
#include <string>

#include "connection/SocketConnection.h"

// An RFCOMM link to the device's serial-port service. The address is the
// device address as hexadecimal text ("0x001a7dda7112").
class BluetoothConnection : public SocketConnection {
 public:
  explicit BluetoothConnection(std::string address);

  // Blocks for at most the service query and connect waits (scaled).
  bool Connect() override;
  int writeData(const uint8_t* bytes, size_t count) override;
  int getType() const override { return Bluetooth; }

 private:
  // Used when the remote's service record cannot be read.
  static constexpr int kDefaultChannel = 1;
  // The same wait the other socket transports give a connect.
  static constexpr std::chrono::milliseconds kConnectWait{2000};
  // Paging a device that is out of range alone may take several seconds;
  // beyond this the connect goes on with the default channel.
  static constexpr std::chrono::milliseconds kServiceQueryWait{5000};

  const std::string address_;
};
