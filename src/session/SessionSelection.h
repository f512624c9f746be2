#pragma once
#include <cstdint>
#include <string>

// Session selection: callers ask for a link type, or for the device as it is
// attached now, and these functions pick the endpoint and create its session
// (or return the id of the one already serving it). None waits for the
// connection; the session manager's worker makes it. Each returns the session
// id, or -1.

// 0 Serial: the boot-mode port of CurrentDevice; 1 Lan: the device's fixed
// address; 3 Wifi: the stored address; 4 Bluetooth: the stored Bluetooth
// address; anything else: -1.
int createSessionByType(int type);
// With a USB device attached: the boot-mode port when there is one, else the
// fixed address. Without: the stored link. A run bound to one device
// (CurrentDevice::pin) uses that device's port or address instead.
int createDefaultSession();
// The boot-mode port when there is one, else the fixed address's configuration
// port; for a bound run, its device's boot loader, port or address.
int createConfigSession();
// True when a USB device with one of the device's vendor/product pairs is present.
bool isUsbDevicePresent();

// The session endpoint of a stored Bluetooth address: "0x" and the lower-case
// hexadecimal value of (addrEx << 32 | addr) without leading zeros.
std::string bluetoothSessionEndpoint(uint32_t addrEx, uint32_t addr);
