#include "ScanCommand.h"

#include <cstdio>
#include <string>

#include "DeviceChoice.h"
#include "DeviceRead.h"
#include "connection/ConnectionFactory.h"
#include "platform/LoopbackGuard.h"

namespace cli {

std::string scanJson(const J2534DeviceList& devices) {
  std::string out = "[";
  for (size_t i = 0; i < devices.size(); ++i) {
    const J2534Device& d = devices[i];
    const auto type = static_cast<ConnectType>(d.connectType);
    const bool lanOrBt = type == ConnectType::Lan || type == ConnectType::Bluetooth;
    out += std::string(i ? "," : "") + "{\"name\":" + jsonString(d.name) +
           ",\"address\":" + jsonString(lanOrBt ? addressText(d) : "") + ",\"port\":" + jsonString(d.port) +
           ",\"link\":" + jsonString(linkName(d.connectType)) + "}";
  }
  return out + "]\n";
}

std::string scanText(const J2534DeviceList& devices) {
  // printf's "%-4s %-24s %s" without its length limit.
  auto padded = [](std::string text, size_t width) {
    if (text.size() < width) text.resize(width, ' ');
    return text;
  };
  std::string out;
  for (const J2534Device& d : devices) {
    out += padded(linkName(d.connectType), 4) + " " + padded(d.name.empty() ? "(no name)" : shown(d.name), 24) + " " +
           shown(addressText(d)) + "\n";
  }
  return out;
}

}  // namespace cli

namespace {

// Runs the scan of one link; false (after saying so) when it did not finish.
bool scanOrSay(const cli::Args& args, const std::string& link, J2534DeviceList& devices, int& result) {
  if (cli::scanLink(args, cli::linkType(link), devices, result)) return true;
  std::fprintf(stderr, "the %s scan did not finish\n", link.c_str());
  return false;
}

int runScan(const cli::Args& args) {
  const std::string link = args.option("link");
  if (link.empty()) {
    std::fprintf(stderr, "scan needs --link usb|lan|wifi|bt\n");
    return cli::kExitUsage;
  }
  J2534DeviceList devices;
  int result = -1;
  if (!scanOrSay(args, link, devices, result)) return cli::kExitFailed;
  if (!args.json && devices.empty() && !args.quiet()) std::fprintf(stderr, "no device found\n");
  std::fputs(args.json ? cli::scanJson(devices).c_str() : cli::scanText(devices).c_str(), stdout);
  if (result != 0) std::fprintf(stderr, "the %s scan failed (code %d)\n", link.c_str(), result);
  // The guard's refusals look like a silent network; say that it was the setting.
  if (link != "usb" && platform::loopbackGuardActive() && (result != 0 || devices.empty())) {
    std::fprintf(stderr, "KESTREL_LOOPBACK_ONLY=1 is set: %s\n",
                 link == "bt" ? "Bluetooth is refused, as is every address outside 127.0.0.0/8"
                              : "only 127.0.0.0/8 was searched; every other address was refused");
  }
  // A port this user may not open answers nothing: say why rather than list it nameless.
  if (link == "usb" && !args.quiet()) {
    if (std::string hint = cli::serialPermissionHint(); !hint.empty()) std::fprintf(stderr, "%s\n", hint.c_str());
  }
  return result == 0 ? cli::kExitOk : cli::kExitFailed;
}

int runUse(const cli::Args& args) {
  const std::string link = args.option("link");
  if (link.empty() || args.words.size() > 1) {
    std::fprintf(stderr, "usage: kestrel-cli use --link usb|lan|wifi|bt [NAME|ADDRESS]\n");
    return cli::kExitUsage;
  }
  J2534DeviceList devices;
  int result = -1;
  if (!scanOrSay(args, link, devices, result)) return cli::kExitFailed;
  J2534Device chosen;
  const std::string name = args.words.empty() ? std::string() : args.words[0];
  if (int rc = cli::pickDevice(devices, link, name, chosen); rc != cli::kExitOk) return rc;
  if (!cli::saveChoice(chosen)) {
    std::fprintf(stderr, "cannot save the choice in the settings file\n");
    return cli::kExitFailed;
  }
  if (args.json) {
    std::printf("{\"link\":%s,\"name\":%s,\"address\":%s}\n", cli::jsonString(link).c_str(),
                cli::jsonString(chosen.name).c_str(), cli::jsonString(cli::addressText(chosen)).c_str());
  } else {
    std::printf("using %s %s %s from now on\n", link.c_str(), cli::shown(chosen.name).c_str(),
                cli::shown(cli::addressText(chosen)).c_str());
  }
  return cli::kExitOk;
}

const cli::CommandRegistration scan({"scan",
                                     "--link usb|lan|wifi|bt [--json]",
                                     "find devices on one link",
                                     {{"link", "usb|lan|wifi|bt", "the link to search"},
                                      {"json", nullptr, "print the list as JSON"}},
                                     runScan,
                                     "Wi-Fi and Bluetooth list only devices, not every network or phone in range.\n"});

const cli::CommandRegistration use({"use",
                                    "--link usb|lan|wifi|bt [NAME|ADDRESS]",
                                    "choose the device that info, upgrade and wifi talk to",
                                    {{"link", "usb|lan|wifi|bt", "the link to search"},
                                     {"json", nullptr, "print the choice as JSON"}},
                                    runUse,
                                    "Scans the link and saves the device in the settings the desktop program\n"
                                    "uses too. Without NAME|ADDRESS the link must hold exactly one device.\n"
                                    "A USB device that is attached is still read first, as in the desktop program.\n"});

}  // namespace
