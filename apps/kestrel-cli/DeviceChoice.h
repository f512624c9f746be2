#pragma once
#include <string>

#include "Cli.h"
#include "app/J2534Device.h"

// Which device a command talks to. The saved choice lives in the settings
// under the keys the window's device list writes, so both front ends share
// it; --link/--device choose for one run without touching the file.
namespace cli {

// "usb" 0, "lan" 1, "wifi" 3, "bt" 4; -1 for anything else.
int linkType(const std::string& name);
const char* linkName(uint32_t type);

// Dotted IPv4 of a LAN answer, the Bluetooth endpoint text, or the port.
std::string addressText(const J2534Device& device);

// Runs one scan of a link. False when the scan did not finish; result is the
// scan's own code. Only devices (names with a known serial-number prefix)
// are kept for the radio links, which otherwise list every network and phone.
// The scanners' error texts are shown with -v, or when showErrors and
// nothing was found.
bool scanLink(const Args& args, int type, J2534DeviceList& devices, int& result, bool showErrors = true);

// Picks the device named by NAME, ADDRESS or port among devices (any one
// when name is empty). 0 when exactly one fits; else prints why and what was
// found on stderr and returns kExitNoDevice.
int pickDevice(const J2534DeviceList& devices, const std::string& link, const std::string& name,
               J2534Device& chosen);

// Saves the choice as the window's device list does.
bool saveChoice(const J2534Device& device);

// For info, upgrade and wifi, before the device is read: with --link, scans
// and chooses for this run; without, and with no USB device and nothing
// saved, uses the one device the LAN answers with. 0 to go on, else the exit
// status.
int chooseForRun(const Args& args);

// The serial number of the device this run was pointed at (the name its
// scan answered with); empty when a USB device or nothing was chosen.
std::string expectedSerial();

// What the default session tries, for "no device connected".
std::string triedEndpoints();

}  // namespace cli
