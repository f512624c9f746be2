#pragma once
#include <string>

// True when the serial number holds at least one ASCII letter.
bool isAlphanumericSerial(const std::string& serialNumber);

// Model number 0..6 of a serial number; 4 and 5 are the Q-TRAK devices, 6 is
// not supported.
int classifyModel(const std::string& serialNumber);
