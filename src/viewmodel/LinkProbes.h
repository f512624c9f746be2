#pragma once
#include <optional>
#include <string>

#include "session/Frame.h"

// The short device checks the main window runs as work on the device worker.
// Each opens a session of its own and closes it when done.

// True when the device answers an identity read over the link type.
bool checkLink(int linkType);

// The supply voltage in volts, or nothing when it could not be read.
std::optional<float> readSupplyVoltage();

// Volts from the device's 0x80 0x04 reply: millivolts, 24 bits big-endian, in
// bytes 19 to 21 of the whole frame. Nothing when the frame is too short.
std::optional<float> parseSupplyVoltage(const Frame& reply);

// Link names of the success messages (0 "Serial", 1 "Wifi", 4 "Bluetooth").
std::string linkCheckName(int linkType);
