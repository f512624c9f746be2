#pragma once
#include <sys/socket.h>

#include <chrono>
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

// RFCOMM channel of the remote's Serial Port service (class 0x1101), asked by
// SDP within wait (scaled): > 0 found, 0 when SDP failed, found none or took
// too long, -1 (errno EACCES) when the loopback guard refused the address.
int findSerialPortChannel(uint64_t address, std::chrono::milliseconds wait);

// A connected, non-blocking RFCOMM stream socket, or -1 with errno set
// (EACCES when the guard refused, ETIMEDOUT after wait, scaled).
int connectRfcomm(uint64_t address, int channel, std::chrono::milliseconds wait);

// Connects a non-blocking socket, waiting up to wait (scaled) for the
// connect to complete. False with errno set (ETIMEDOUT when the wait passed);
// the caller closes the socket.
bool connectWithin(int fd, const sockaddr* address, socklen_t length, std::chrono::milliseconds wait);

}  // namespace platform
