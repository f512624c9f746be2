#pragma once
#include <string>

// True when the serial number holds at least one ASCII letter.
bool isAlphanumericSerial(const std::string& serialNumber);

// Model number 0..6 of a serial number; 4 and 5 are the Q-TRAK devices, 6 is
// not supported.
int classifyModel(const std::string& serialNumber);

// Q-TRAK devices (models 4 and 5) are switched into J2534 mode before a read
// and restart into their boot loader on request.
bool isQtrakModel(int model);

// Model 4 carries no main firmware to upgrade and no system unit to ask.
bool skipsMainFirmware(int model);
bool hasSystemUnit(int model);
