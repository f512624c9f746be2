#include "app/DeviceModel.h"

#include <array>
#include <utility>

namespace {

// By model number. The version service knows no names for the Q-TRAK models;
// model 5 reads a system version, so it is asked with an empty name like model 4.
constexpr std::array<ModelTraits, 7> kModels = {{
    {"brisa.png", "LINK_Veyra", "Veyra_System", false, true, true, true},
    {"brisa lite.png", "LINK_Pellan", "Pellan_System", false, true, true, true},
    {"brisa pro.png", "LINK_Veyra", "KORV_SYSTEM", false, true, true, true},
    {"tolva 4.png", "", "", false, true, true, true},
    {"Q-TRAK.png", "", "", true, false, false, false},
    {"Q-TRAK.png", "", "", true, true, true, false},
    {"unknown.png", "", "", false, true, true, false},
}};

}  // namespace

const ModelTraits& traitsOf(DeviceModel model) {
  const auto index = static_cast<size_t>(model);
  return kModels[index < kModels.size() ? index : kModels.size() - 1];
}

bool isAlphanumericSerial(const std::string& serialNumber) {
  for (char c : serialNumber) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return true;
  }
  return false;
}

DeviceModel classifyModel(const std::string& serialNumber) {
  using enum DeviceModel;
  if (serialNumber.size() != 12) return Unsupported;
  auto startsWith = [&](const char* prefix) { return serialNumber.rfind(prefix, 0) == 0; };
  if (isAlphanumericSerial(serialNumber)) {
    // Order matters: the longer Q-TRAK prefix must win over "5RWM8".
    static const std::array<std::pair<const char*, DeviceModel>, 7> alpha = {{
        {"5RWM842", QtrakSystem}, {"5RHM1", Brisa}, {"5RHM6", Brisa}, {"5RHM2", BrisaLite},
        {"5RHMJ", BrisaPro},      {"5RHM3", Tolva4}, {"5RWM8", Qtrak},
    }};
    for (const auto& [prefix, model] : alpha) {
      if (startsWith(prefix)) return model;
    }
    return Unsupported;
  }
  static const std::array<const char*, 6> model1 = {"7444431", "7443650", "7443652",
                                                    "7444418", "7444444", "7444443"};
  for (const char* prefix : model1) {
    if (startsWith(prefix)) return BrisaLite;
  }
  if (startsWith("74462")) return Tolva4;
  return Brisa;
}
