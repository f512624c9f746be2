#include "connection/ConnectionFactory.h"

#include "connection/BluetoothConnection.h"
#include "connection/NetworkConnection.h"
#include "connection/SerialConnection.h"

std::unique_ptr<DeviceConnection> createNetworkConnection(const std::string& host, int port, int datagram) {
  return std::make_unique<NetworkConnection>(host, port, datagram);
}

std::unique_ptr<DeviceConnection> createBluetoothConnection(const std::string& address) {
  return std::make_unique<BluetoothConnection>(address);
}

std::unique_ptr<DeviceConnection> createSerialConnection(const std::string& portName) {
  return std::make_unique<SerialConnection>(portName);
}
