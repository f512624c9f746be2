#pragma once
#include <memory>
#include <string>

#include "connection/DeviceConnection.h"

// Link types shared by discovery, the settings and session selection
// (stored in the settings as TransferType).
enum class ConnectType : int { Serial = 0, Lan = 1, Usb = 2, Wifi = 3, Bluetooth = 4 };

// One factory per endpoint kind; nothing connects at creation.
std::unique_ptr<DeviceConnection> createNetworkConnection(const std::string& host, int port, int datagram);
std::unique_ptr<DeviceConnection> createBluetoothConnection(const std::string& address);
std::unique_ptr<DeviceConnection> createSerialConnection(const std::string& portName);
