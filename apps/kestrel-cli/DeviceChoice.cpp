#include "DeviceChoice.h"

#include <array>
#include <cstdio>
#include <memory>
#include <vector>

#include "app/AppState.h"
#include "app/Messages.h"
#include "connection/ConnectionFactory.h"
#include "platform/DeviceEndpoints.h"
#include "platform/Ipv4Text.h"
#include "platform/UsbDevices.h"
#include "scanner/SerialScanner.h"
#include "schedule/ScheduleManager.h"
#include "session/CurrentDevice.h"
#include "session/SessionSelection.h"
#include "task/DevScanner.h"
#include "utils/LogFacade.h"
#include "utils/Settings.h"
#include "viewmodel/ListedDevices.h"

namespace cli {

namespace {

// A serial probe costs up to 4 s per silent port, a LAN scan 1 to 2 s per
// subnet, a Bluetooth inquiry about 5 s: this only catches a hung scan.
constexpr int kScanTimeoutSeconds = 600;

struct LinkEntry {
  const char* name;
  ConnectType type;
};
constexpr std::array<LinkEntry, 4> kLinks = {{{"usb", ConnectType::Serial},
                                              {"lan", ConnectType::Lan},
                                              {"wifi", ConnectType::Wifi},
                                              {"bt", ConnectType::Bluetooth}}};

void listDevices(const J2534DeviceList& devices) {
  for (const J2534Device& d : devices) {
    std::fprintf(stderr, "  %-4s %-24s %s\n", linkName(d.connectType), shown(d.name).c_str(),
                 shown(addressText(d)).c_str());
  }
}

bool matches(const J2534Device& d, const std::string& name) {
  return name.empty() || d.name == name || addressText(d) == name || (!d.port.empty() && d.port == name);
}

// A device named for the run is the one talked to even when another is
// attached by USB: its port or address, and a boot loader only when it gives
// its serial number. Several devices at once run this way, one run each.
bool bindRun(const J2534Device& chosen) {
  switch (static_cast<ConnectType>(chosen.connectType)) {
    case ConnectType::Serial:
    case ConnectType::Lan:
    case ConnectType::Bluetooth:
      CurrentDevice::getInstance().pin(
          {static_cast<int>(chosen.connectType), chosen.port, chosen.addr, chosen.addrEx, chosen.name});
      return true;
    default:
      return false;
  }
}

}  // namespace

int linkType(const std::string& name) {
  for (const LinkEntry& l : kLinks) {
    if (name == l.name) return static_cast<int>(l.type);
  }
  return -1;
}

const char* linkName(uint32_t type) {
  for (const LinkEntry& l : kLinks) {
    if (static_cast<uint32_t>(l.type) == type) return l.name;
  }
  return "";
}

std::string addressText(const J2534Device& device) {
  switch (static_cast<ConnectType>(device.connectType)) {
    case ConnectType::Lan:
      return platform::ipv4Text(device.addr);
    case ConnectType::Bluetooth:
      return bluetoothSessionEndpoint(device.addrEx, device.addr);
    case ConnectType::Serial:
      return device.port;
    default:
      return "";
  }
}

bool scanLink(const Args& args, int type, J2534DeviceList& devices, int& result, bool showErrors) {
  result = -1;
  bool ran = false;
  std::vector<AppMessage> texts;  // filled on the console's thread, read after it stopped
  {
    Console* console = nullptr;
    Console owner([&](const AppMessage& message) {
      if (message.id == UM_SHOW_TEXT) {
        texts.push_back(message);
        return;
      }
      if (message.id != UM_SCAN_DONE) return;
      result = static_cast<int>(static_cast<intptr_t>(message.wParam));
      devices = AppState::getInstance().devices();
      console->finished();
    });
    console = &owner;
    AppState::getInstance().setScanType(type);
    ScheduleManager::getInstance().addTask(kWorkerDevInfo, kTaskDevScanner, std::make_shared<DevScanner>());
    ran = owner.runTask(kTaskDevScanner, kScanTimeoutSeconds);
    waitForIdleWorker();
  }
  devices = listedDevices(devices);
  // A subnet that cannot be reached is no news once a device was found.
  if (args.verbosity == Verbosity::Verbose || (showErrors && devices.empty())) {
    for (const AppMessage& text : texts) printShowText(text, args);
  }
  return ran;
}

// A port named for the run is probed alone: a whole scan opens every port,
// and under --all each of the others is another run's at that moment.
J2534DeviceList probeNamedPort(const std::string& port) {
  SerialScanner scanner;
  std::vector<SerialScanner::UsbDeviceInfo> present = scanner.listUsbDevices();
  std::erase_if(present, [&](const SerialScanner::UsbDeviceInfo& d) { return d.ttyNode != port; });
  J2534DeviceList devices;
  for (const platform::UsbIds& ids : platform::kSerialScanUsbIds) {
    scanner.findComPorts(present, ids.vendorId, ids.productId, devices);
  }
  return listedDevices(devices);
}

// A USB device named by its serial number is looked for as a bound run finds
// it again after a restart: its tty may have changed since it was listed.
J2534DeviceList findUsbBySerial(const std::string& serial) {
  CurrentDevice& current = CurrentDevice::getInstance();
  current.pin({static_cast<int>(ConnectType::Serial), "", 0, 0, serial});
  J2534DeviceList devices;
  if (current.findPinnedPort()) {
    J2534Device device;
    device.port = current.configSerialPort();
    device.name = serial;
    device.connectType = static_cast<uint32_t>(ConnectType::Serial);
    devices.push_back(device);
  }
  return listedDevices(devices);
}

int pickDevice(const J2534DeviceList& devices, const std::string& link, const std::string& name,
               J2534Device& chosen) {
  J2534DeviceList fitting;
  for (const J2534Device& d : devices) {
    if (matches(d, name)) fitting.push_back(d);
  }
  if (fitting.size() == 1) {
    chosen = fitting.front();
    return kExitOk;
  }
  if (fitting.empty() && devices.empty()) {
    std::fprintf(stderr, "no device found on the %s link; check that it is attached and powered, or try another "
                 "link with 'kestrel-cli scan --link usb|lan|wifi|bt'\n", link.c_str());
  } else if (fitting.empty()) {
    std::fprintf(stderr, "no device '%s' on the %s link; found:\n", shown(name).c_str(), link.c_str());
    listDevices(devices);
  } else {
    std::fprintf(stderr, "%zu devices found on the %s link; choose one with --device NAME|ADDRESS "
                 "(or save it with 'kestrel-cli use --link %s NAME'):\n", fitting.size(), link.c_str(), link.c_str());
    listDevices(fitting);
  }
  return kExitNoDevice;
}

bool saveChoice(const J2534Device& device) {
  refreshSettingsFile();
  uint32_t linkType = 0;
  return saveChosenDevice(device, linkType);
}

int chooseForRun(const Args& args) {
  const std::string link = args.option("link");
  const std::string name = args.option("device");
  if (link.empty() && !name.empty()) {
    std::fprintf(stderr, "--device needs --link usb|lan|wifi|bt\n");
    return kExitUsage;
  }
  // As the window at start-up: a missing settings file gets its defaults, so
  // the stored address is the device's and not 0.0.0.0.
  refreshSettingsFile();
  SettingsRecord saved;
  loadSettings(saved);
  std::string scanned = link;
  if (link.empty()) {
    // Nothing to choose: a USB device is read as attached, a saved choice as saved.
    if (isUsbDevicePresent() || !saved.Name.empty() || !saved.serial.empty()) return kExitOk;
    scanned = "lan";
  }
  J2534DeviceList devices;
  int result = 0;
  if (link == "usb" && name.rfind("/dev/", 0) == 0) {
    devices = probeNamedPort(name);
  } else if (link == "usb" && !name.empty()) {
    devices = findUsbBySerial(name);
  } else if (!scanLink(args, linkType(scanned), devices, result, !link.empty())) {
    std::fprintf(stderr, "the %s scan did not finish\n", scanned.c_str());
    return kExitFailed;
  }
  // Without --link an empty LAN leaves the saved address to the default session.
  if (link.empty() && devices.empty()) return kExitOk;
  J2534Device chosen;
  if (int rc = pickDevice(devices, scanned, name, chosen); rc != kExitOk) return rc;
  LOG_INFO("device for this run: %s %s %s", linkName(chosen.connectType), logfacade::escapeForLog(chosen.name).c_str(),
           logfacade::escapeForLog(addressText(chosen)).c_str());
  if (!args.quiet() && !args.json) {
    std::fprintf(stderr, "using %s %s %s\n", linkName(chosen.connectType), shown(chosen.name).c_str(),
                 shown(addressText(chosen)).c_str());
  }
  const SettingsRecord choice = withChosenDevice(saved, chosen);
  setProcessLinkChoice(&choice);
  const bool bound = !name.empty() && bindRun(chosen);
  if (!bound && link != "usb" && isUsbDevicePresent() && !args.quiet()) {
    std::fprintf(stderr, "note: a USB device is attached and is read first, as in the desktop program; unplug it "
                 "to reach the %s device\n", link.c_str());
  }
  return kExitOk;
}

std::string expectedSerial() {
  if (const auto bound = CurrentDevice::getInstance().pinned()) return bound->serialNumber;
  if (isUsbDevicePresent()) return "";
  SettingsRecord chosen;
  loadSettings(chosen);
  return chosen.Name;
}

std::string triedEndpoints() {
  if (const auto bound = CurrentDevice::getInstance().pinned()) {
    J2534Device device;
    device.connectType = static_cast<uint32_t>(bound->type);
    device.port = bound->port;
    device.addr = bound->addr;
    device.addrEx = bound->addrEx;
    return std::string(linkName(device.connectType)) + " " + addressText(device) + " '" + shown(bound->serialNumber) + "'";
  }
  if (isUsbDevicePresent()) return "the attached USB device";
  SettingsRecord saved;
  loadSettings(saved);
  std::string name = saved.Name.empty() ? std::string() : " '" + shown(saved.Name) + "'";
  if (saved.TransferType == static_cast<uint32_t>(ConnectType::Bluetooth)) {
    return "Bluetooth " + bluetoothSessionEndpoint(saved.AddrEx, saved.Addr) + name + "; no USB device is attached";
  }
  return "the network address " + platform::ipv4Text(saved.Addr) + ":" + std::to_string(platform::deviceEndpoints().devicePort) +
         name + "; no USB device is attached";
}

}  // namespace cli
