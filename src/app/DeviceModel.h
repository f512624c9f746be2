#pragma once
#include <string>

// The device families a serial number tells apart. The numbers are the model
// numbers the logs, the command line's JSON and the web services' tables use.
enum class DeviceModel : int {
  Brisa = 0,
  BrisaLite = 1,
  BrisaPro = 2,
  Tolva4 = 3,
  Qtrak = 4,        // J2534 image only, no system unit
  QtrakSystem = 5,  // Q-TRAK with an embedded system
  Unsupported = 6,
};

// What differs between the models, in one table.
struct ModelTraits {
  const char* picture;       // the skin's picture of the model
  const char* softwareName;  // name of the J2534 firmware in the version service; empty for none
  const char* systemName;    // name of the system in the version service; empty for none
  bool qtrak;                // switched into J2534 mode before a read; restarts into its boot loader on request
  bool mainFirmware;         // carries a main firmware image to upgrade
  bool systemUnit;           // has an embedded system to read and upgrade
  bool fixedImageSizes;      // each firmware image has one exact size; others take any
};
const ModelTraits& traitsOf(DeviceModel model);

inline int modelNumber(DeviceModel model) { return static_cast<int>(model); }

// True when the serial number holds at least one ASCII letter.
bool isAlphanumericSerial(const std::string& serialNumber);

DeviceModel classifyModel(const std::string& serialNumber);

inline bool isQtrakModel(DeviceModel model) { return traitsOf(model).qtrak; }
inline bool skipsMainFirmware(DeviceModel model) { return !traitsOf(model).mainFirmware; }
inline bool hasSystemUnit(DeviceModel model) { return traitsOf(model).systemUnit; }
