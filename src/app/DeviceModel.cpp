#include "app/DeviceModel.h"

#include <array>
#include <utility>

bool isAlphanumericSerial(const std::string& serialNumber) {
  for (char c : serialNumber) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return true;
  }
  return false;
}

int classifyModel(const std::string& serialNumber) {
  if (serialNumber.size() != 12) return 6;
  auto startsWith = [&](const char* prefix) { return serialNumber.rfind(prefix, 0) == 0; };
  if (isAlphanumericSerial(serialNumber)) {
    // Order matters: the longer Q-TRAK prefix must win over "5RWM8".
    static const std::array<std::pair<const char*, int>, 7> alpha = {{
        {"5RWM842", 5}, {"5RHM1", 0}, {"5RHM6", 0}, {"5RHM2", 1},
        {"5RHMJ", 2},   {"5RHM3", 3}, {"5RWM8", 4},
    }};
    for (const auto& [prefix, model] : alpha) {
      if (startsWith(prefix)) return model;
    }
    return 6;
  }
  static const std::array<const char*, 6> model1 = {"7444431", "7443650", "7443652",
                                                    "7444418", "7444444", "7444443"};
  for (const char* prefix : model1) {
    if (startsWith(prefix)) return 1;
  }
  if (startsWith("74462")) return 3;
  return 0;
}

bool isQtrakModel(int model) { return model == 4 || model == 5; }

bool skipsMainFirmware(int model) { return model == 4; }

bool hasSystemUnit(int model) { return model != 4; }
