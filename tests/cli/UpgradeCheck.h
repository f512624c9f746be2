#pragma once
#include <string>
#include <tuple>

#include "SimPackages.h"
#include "VirtualDevice.h"
#include "WebServices.h"

// What a device must hold after a run that reported success, read from the
// virtual device itself rather than from anything the program said.
namespace clitest {

enum class Job { Firmware, System, Wifi };

inline const char* jobName(Job job) {
  switch (job) {
    case Job::Firmware: return "firmware";
    case Job::System: return "system";
    case Job::Wifi: return "wifi";
  }
  return "?";
}

// Empty when the device holds what the job meant; else what is wrong.
inline std::string wrongOnDevice(Job job, const sim::VirtualDevice& device, const sim::WebServices& web,
                                 const std::string& ssid = "", const std::string& key = "") {
  const sim::DeviceConfig now = device.core().config();
  const sim::WebConfig online = web.config();
  switch (job) {
    case Job::Firmware: {
      std::string wrong;
      for (auto [slot, softType, version, held] :
           {std::tuple{sim::ImageSlot::Firmware, "1", online.latestFirmware, now.firmwareVersion},
            std::tuple{sim::ImageSlot::J2534, "3", online.latestJ2534, now.j2534Version}}) {
        const sim::StoredImage stored = device.core().image(slot);
        if (!stored.accepted || stored.md5 != sim::md5Hex(web.firmwareImage(softType, now.serialNumber)) ||
            held != version) {
          wrong += std::string(softType == std::string("1") ? "firmware" : "J2534 firmware") + " is " + held + " ";
        }
      }
      return wrong;
    }
    case Job::System: {
      const sim::StoredPackage package = device.core().systemPackage();
      if (now.systemVersion != online.latestSystem) return "system is " + now.systemVersion;
      if (!package.installed || package.md5 != sim::md5Hex(web.systemImage())) return "system package not the one online";
      return "";
    }
    case Job::Wifi:
      return now.wifiSsid == ssid && now.wifiKey == key ? "" : "Wi-Fi is " + now.wifiSsid;
  }
  return "unknown job";
}

}  // namespace clitest
