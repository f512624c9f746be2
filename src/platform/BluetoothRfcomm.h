#pragma once
#include <cstdint>
#include <string>

// RFCOMM links to a Bluetooth device over BlueZ. Addresses are the 64-bit
// numbers the settings keep, of which the low 48 bits are the device address.
// Both network operations ask the loopback guard first, which refuses every
// Bluetooth address, so under the guard nothing reaches the radio.
namespace platform {

// Reads a device address written as hexadecimal ("0x001A7DDA7112",
// "1a7dda7112"): an optional 0x, then 1 to 16 digits of either case and nothing
// else.
bool parseBluetoothAddress(const std::string& text, uint64_t* address);

// The low 48 bits as "00:1A:7D:DA:71:12", most significant byte first.
std::string bluetoothAddressText(uint64_t address);

// RFCOMM channel of the remote's Serial Port service (class 0x1101), asked by
// SDP: > 0 found, 0 when SDP failed or found none, -1 (errno EACCES) when the
// loopback guard refused the address.
int findSerialPortChannel(uint64_t address);

// A connected, blocking RFCOMM stream socket, or -1 with errno set (EACCES when
// the guard refused).
int connectRfcomm(uint64_t address, int channel);

}  // namespace platform
