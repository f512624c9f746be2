#pragma once
#include <string>

#include "Cli.h"
#include "app/J2534Device.h"

// What scan prints for the devices a link answered with.
namespace cli {

// A JSON array; the address is only given for LAN and Bluetooth.
std::string scanJson(const J2534DeviceList& devices);

// One line per device: link, name, address or port.
std::string scanText(const J2534DeviceList& devices);

}  // namespace cli
