// kestrel-sim: the virtual device and the maker's web services on loopback,
// for the demo and for end-to-end runs of the product.
#include <stdlib.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "ListenAddress.h"
#include "SimEnvironment.h"
#include "VirtualDevice.h"
#include "WebServices.h"
#include "app/DeviceModel.h"
#include "platform/Clock.h"

namespace {

constexpr uint16_t kDefaultDiscoveryPort = 22536;

const char kUsage[] =
    "usage: kestrel-sim [options]\n"
    "device:\n"
    "  --serial SN                 serial number (default 5RHM10000001)\n"
    "  --mode normal|j2534|boot    mode at power-on\n"
    "  --firmware-version V        main firmware version (0x61 0x05 field 2)\n"
    "  --j2534-version V           J2534 firmware version (field 5)\n"
    "  --hardware-version V, --boot-version V, --protocol-version V   fields 1, 3, 4\n"
    "  --identity TEXT             first text of the 0x61 0x03 reply\n"
    "  --platform-name N, --platform-version V\n"
    "  --system-package-name N, --system-version V\n"
    "  --no-system                 no unit behind address 0xF1 (0x2C 0x0A unanswered)\n"
    "  --voltage MV                supply voltage in millivolts\n"
    "  --wifi-ssid S, --wifi-key K Wi-Fi settings at power-on\n"
    "  --usb-id VVVV:PPPP          normal-mode USB ids (default 1A86:55DA)\n"
    "  --restart-delay MS          time a restart takes (default 1500)\n"
    "  --no-install-restart        install a system without restarting (links never drop)\n"
    "  --install-fails             an install fails inside the device: it restarts with its old system\n"
    "links (on loopback unless --listen):\n"
    "  --listen A                  the device's links and the web services on the IPv4\n"
    "                              address A (default 127.0.0.1). Off loopback only inside\n"
    "                              a network namespace of its own (ip netns exec), told by\n"
    "                              its /proc/self/ns/net differing from PID 1's (or the\n"
    "                              kernel threads'); there discovery answers every\n"
    "                              broadcast and every sender\n"
    "  --no-tcp, --device-port N, --config-port N   TCP ports (default ephemeral)\n"
    "  --no-pty                    no USB serial port\n"
    "  --no-udp, --discovery-port N   discovery (default 22536, 0 = ephemeral)\n"
    "  --usb-file PATH, --wlan-file PATH   simulated USB and WLAN list files\n"
    "  --wlan IFACE:SSID           a network the PC sees (repeatable)\n"
    "web services:\n"
    "  --no-web, --web-port N\n"
    "  --latest-firmware V, --latest-j2534 V, --latest-system V ('' = nothing newer)\n"
    "  --system-package-online yes|no, --international-empty, --soft-type-number\n"
    "  --web-serial SN             another device the web services know (repeatable), so\n"
    "                              several virtual devices can share one services file\n"
    "  --services-file PATH        deployment file of endpoints (default: in a temporary\n"
    "                              folder of its own, removed when kestrel-sim stops)\n"
    "faults:\n"
    "  --fault KIND:CMDSUB:OCCURRENCE[:ARG]   e.g. noreply:2403:3, late:2105:2+:2500,\n"
    "                              refused:2404:*:5, silent:2133, powerloss:2403:40 (repeatable)\n"
    "  --web-fault KIND:PATH[:OCCURRENCE[:MS]]   404, 500, 302, slow, drip or truncated (repeatable)\n"
  "  --fault-rate P, --seed N    besides those, a fault of any kind on each request and each\n"
  "                              web request with probability P (0 to 1), drawn from seed N\n"
    "other:\n"
    "  --env-file PATH             also write the export lines there\n"
    "  --time-scale S              scale every protocol pause (0 < S <= 1)\n";

struct Options {
  sim::DeviceConfig device;
  sim::LinkConfig links;
  sim::WebConfig web;
  bool webEnabled = true;
  std::vector<sim::Fault> faults;
  std::vector<sim::WebFault> webFaults;
  std::string envFile;
  bool wlanGiven = false;
  double faultRate = 0;
  unsigned long seed = 1;
};

bool parsePort(const char* text, uint16_t& out) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (*end != '\0' || v < 0 || v > 65535) return false;
  out = static_cast<uint16_t>(v);
  return true;
}

bool parseUnsigned(const char* text, unsigned long max, unsigned long& out) {
  char* end = nullptr;
  unsigned long v = std::strtoul(text, &end, 10);
  if (*text == '\0' || *end != '\0' || v > max) return false;
  out = v;
  return true;
}

std::optional<Options> parse(int argc, char** argv) {
  Options o;
  o.links.discoveryPort = kDefaultDiscoveryPort;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    auto bad = [&](const char* what) {
      std::fprintf(stderr, "kestrel-sim: %s for %s\n", what, arg.c_str());
      return std::nullopt;
    };
    unsigned long number = 0;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "--no-tcp") {
      o.links.tcp = false;
    } else if (arg == "--no-pty") {
      o.links.pty = false;
    } else if (arg == "--no-udp") {
      o.links.discovery = false;
    } else if (arg == "--no-system") {
      o.device.hasSystem = false;
    } else if (arg == "--no-install-restart") {
      o.device.installRestarts = false;
    } else if (arg == "--install-fails") {
      o.device.installTakes = false;
    } else if (arg == "--no-web") {
      o.webEnabled = false;
    } else if (arg == "--international-empty") {
      o.web.internationalEmpty = true;
    } else if (arg == "--soft-type-number") {
      o.web.softTypeAsNumber = true;
    } else {
      const char* v = value();
      if (!v) return bad("missing value");
      if (arg == "--serial") o.device.serialNumber = v;
      else if (arg == "--firmware-version") o.device.firmwareVersion = v;
      else if (arg == "--j2534-version") o.device.j2534Version = v;
      else if (arg == "--hardware-version") o.device.hardwareVersion = v;
      else if (arg == "--boot-version") o.device.bootVersion = v;
      else if (arg == "--protocol-version") o.device.protocolVersion = v;
      else if (arg == "--identity") o.device.identityText = v;
      else if (arg == "--platform-name") o.device.platformName = v;
      else if (arg == "--platform-version") o.device.platformVersion = v;
      else if (arg == "--system-package-name") o.device.systemPackageName = o.web.systemPackageName = v;
      else if (arg == "--system-version") o.device.systemVersion = v;
      else if (arg == "--wifi-ssid") o.device.wifiSsid = v;
      else if (arg == "--wifi-key") o.device.wifiKey = v;
      else if (arg == "--latest-firmware") o.web.latestFirmware = v;
      else if (arg == "--latest-j2534") o.web.latestJ2534 = v;
      else if (arg == "--latest-system") o.web.latestSystem = v;
      else if (arg == "--web-serial") o.web.serials.insert(v);
      else if (arg == "--services-file") o.web.servicesFile = v;
      else if (arg == "--usb-file") o.links.usbListFile = v;
      else if (arg == "--wlan-file") o.links.wlanListFile = v;
      else if (arg == "--env-file") o.envFile = v;
      else if (arg == "--listen") {
        if (std::string why = sim::listenRefusal(v); !why.empty()) {
          std::fprintf(stderr, "kestrel-sim: will not listen on %s: %s\n", v, why.c_str());
          return std::nullopt;
        }
        o.links.listenAddress = o.web.host = v;
      }
      else if (arg == "--mode") {
        std::string m = v;
        if (m == "normal") o.device.mode = sim::DeviceMode::Normal;
        else if (m == "j2534") o.device.mode = sim::DeviceMode::J2534;
        else if (m == "boot") o.device.mode = sim::DeviceMode::BootLoader;
        else return bad("unknown mode");
      } else if (arg == "--voltage") {
        if (!parseUnsigned(v, 0xFFFFFF, number)) return bad("bad millivolts");
        o.device.supplyMillivolts = static_cast<uint32_t>(number);
      } else if (arg == "--restart-delay") {
        if (!parseUnsigned(v, 3600000, number)) return bad("bad milliseconds");
        o.device.restartDelay = std::chrono::milliseconds(number);
      } else if (arg == "--usb-id") {
        unsigned vid = 0, pid = 0;
        char tail = 0;
        if (std::sscanf(v, "%4x:%4x%c", &vid, &pid, &tail) != 2) return bad("bad ids");
        o.device.usbVendor = static_cast<uint16_t>(vid);
        o.device.usbProduct = static_cast<uint16_t>(pid);
      } else if (arg == "--device-port") {
        if (!parsePort(v, o.links.devicePort)) return bad("bad port");
      } else if (arg == "--config-port") {
        if (!parsePort(v, o.links.configPort)) return bad("bad port");
      } else if (arg == "--discovery-port") {
        if (!parsePort(v, o.links.discoveryPort)) return bad("bad port");
      } else if (arg == "--web-port") {
        if (!parsePort(v, o.web.port)) return bad("bad port");
      } else if (arg == "--system-package-online") {
        std::string yes = v;
        if (yes != "yes" && yes != "no") return bad("yes or no");
        o.web.systemPackageOnline = yes == "yes";
      } else if (arg == "--wlan") {
        std::string text = v;
        size_t colon = text.find(':');
        if (colon == std::string::npos || colon == 0) return bad("IFACE:SSID");
        if (!o.wlanGiven) o.links.wlanNetworks.clear();
        o.wlanGiven = true;
        o.links.wlanNetworks.emplace_back(text.substr(0, colon), text.substr(colon + 1));
      } else if (arg == "--fault") {
        sim::Fault fault;
        if (!sim::parseFault(v, fault)) return bad("bad fault");
        o.faults.push_back(fault);
      } else if (arg == "--web-fault") {
        sim::WebFault fault;
        if (!sim::parseWebFault(v, fault)) return bad("bad web fault");
        o.webFaults.push_back(fault);
      } else if (arg == "--fault-rate") {
        char* end = nullptr;
        o.faultRate = std::strtod(v, &end);
        if (*end != '\0' || !(o.faultRate >= 0.0 && o.faultRate <= 1.0)) return bad("bad rate");
      } else if (arg == "--seed") {
        if (!parseUnsigned(v, 0xFFFFFFFF, o.seed)) return bad("bad seed");
      } else if (arg == "--time-scale") {
        char* end = nullptr;
        double scale = std::strtod(v, &end);
        if (*end != '\0' || !(scale > 0.0 && scale <= 1.0)) return bad("bad scale");
        platform::setTimeScale(scale);
      } else {
        std::fprintf(stderr, "kestrel-sim: unknown option %s\n%s", arg.c_str(), kUsage);
        return std::nullopt;
      }
    }
  }
  return o;
}

// A folder of kestrel-sim's own for what it writes by default, so that it
// never writes into the user's working root; removed when it stops.
class PrivateFolder {
 public:
  PrivateFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrel-sim-root-XXXXXX").string();
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~PrivateFolder() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

int run(Options& options, PrivateFolder& folder);

}  // namespace

int main(int argc, char** argv) {
  std::optional<Options> options = parse(argc, argv);
  if (!options) return 2;
  PrivateFolder folder;
  return run(*options, folder);
}

namespace {

int run(Options& options, PrivateFolder& folder) {

  // Every thread started from here on inherits the mask, so the signals
  // reach only the sigwait below.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  sim::VirtualDevice device(options.device, options.links);
  for (const auto& fault : options.faults) device.addFault(fault);
  device.core().faults().setRandom(options.faultRate, static_cast<uint32_t>(options.seed));
  if (!device.start()) {
    std::fprintf(stderr, "kestrel-sim: the virtual device could not start its links\n");
    return 1;
  }

  std::optional<sim::WebServices> web;
  if (options.webEnabled) {
    if (options.web.servicesFile.empty()) {
      if (folder.path().empty()) {
        std::fprintf(stderr, "kestrel-sim: cannot make a temporary folder for the services file\n");
        return 1;
      }
      options.web.servicesFile = folder.path() + "/services.ini";
    }
    options.web.serials.insert(options.device.serialNumber);
    web.emplace(options.web);
    for (const auto& fault : options.webFaults) web->addFault(fault);
    // Its own stream, so the device's draws do not depend on the web's.
    web->setRandomFaults(options.faultRate, static_cast<uint32_t>(options.seed) ^ 0x9E3779B9u);
    if (!web->start()) {
      std::fprintf(stderr, "kestrel-sim: the web services could not start\n");
      return 1;
    }
  }

  const sim::DeviceConfig& d = options.device;
  std::printf("# kestrel-sim: device %s (model %d)\n", d.serialNumber.c_str(), modelNumber(classifyModel(d.serialNumber)));
  if (options.links.tcp) {
    const char* address = options.links.listenAddress.c_str();
    std::printf("# tcp %s:%u, configuration %s:%u\n", address, device.devicePort(), address, device.configPort());
  }
  if (options.links.pty) std::printf("# usb serial %s\n", device.ttyPath().c_str());
  if (options.links.discovery) {
    std::printf("# discovery udp %s:%u\n", device.listensOnLoopback() ? "127.255.255.255" : "any broadcast", device.discoveryPort());
  }
  std::printf("# usb list %s, wlan list %s\n", device.usbListFile().c_str(), device.wlanListFile().c_str());
  if (web) std::printf("# web services %s, endpoints in %s\n", web->baseUrl().c_str(), web->servicesFile().c_str());

  std::string exports = sim::exportLines(sim::simEnvironment(&device, web ? &*web : nullptr));
  std::fputs(exports.c_str(), stdout);
  std::fflush(stdout);
  if (!options.envFile.empty()) {
    std::ofstream out(options.envFile, std::ios::trunc);
    out << exports;
    if (!out) std::fprintf(stderr, "kestrel-sim: cannot write %s\n", options.envFile.c_str());
  }

  int received = 0;
  sigwait(&stopSignals, &received);
  std::printf("# kestrel-sim: stopping on signal %d\n", received);
  if (web) web->stop();
  device.stop();
  return 0;
}

}  // namespace
