#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Asks a serial port for the device's serial number the way discovery does:
// two fixed requests at 115200 baud, the second only when the first brought no
// name. Shared by the serial scanner and the boot-port search, so both read
// the same answers the same way.
namespace serialprobe {

// The serial number read from the port at ttyNode; empty when the port cannot
// be opened or nothing usable came back.
// opened (when given) tells a busy or missing port from one that stayed silent.
std::string probeSerialNumber(const std::string& ttyNode, bool* opened = nullptr);

// "61 33 0C": two upper-case hexadecimal digits per byte, one space between.
std::string toHexSpaced(const uint8_t* bytes, size_t count);
// The serial number that a reply to the first (0x21 0x33) or second
// (0x21 0x03) request carries; empty when the bytes hold none.
std::string nameFromFirstReply(const uint8_t* bytes, size_t count);
std::string nameFromSecondReply(const uint8_t* bytes, size_t count);

}  // namespace serialprobe
