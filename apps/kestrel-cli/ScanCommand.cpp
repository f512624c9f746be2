#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "Cli.h"
#include "app/AppState.h"
#include "app/Messages.h"
#include "schedule/ScheduleManager.h"
#include "session/SessionSelection.h"
#include "task/DevScanner.h"
#include "utils/LogFacade.h"

namespace {

// A serial probe costs up to 4 s per silent port, a LAN scan 1 to 2 s per
// subnet, a Bluetooth inquiry about 5 s: this only catches a hung scan.
constexpr int kScanTimeoutSeconds = 600;

struct LinkName {
  const char* name;
  int type;
};
constexpr LinkName kLinks[] = {{"usb", 0}, {"lan", 1}, {"wifi", 3}, {"bt", 4}};

const char* linkName(uint32_t type) {
  for (const LinkName& l : kLinks) {
    if (static_cast<uint32_t>(l.type) == type) return l.name;
  }
  return "";
}

std::string addressText(const J2534Device& device) {
  if (device.connectType == 1) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = device.addr;
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
  }
  if (device.connectType == 4) return bluetoothSessionEndpoint(device.addrEx, device.addr);
  return "";
}

// Names come from devices and LAN hosts: keep JSON valid whatever the bytes.
std::string validUtf8(const std::string& text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    auto c = static_cast<unsigned char>(text[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    bool ok = len > 0 && i + len <= text.size();
    for (size_t k = 1; ok && k < len; ++k) ok = (static_cast<unsigned char>(text[i + k]) >> 6) == 0x2;
    if (ok) {
      out.append(text, i, len);
      i += len;
    } else {
      out += "\xEF\xBF\xBD";  // U+FFFD
      ++i;
    }
  }
  return out;
}

void printJson(const J2534DeviceList& devices) {
  std::printf("[");
  for (size_t i = 0; i < devices.size(); ++i) {
    const J2534Device& d = devices[i];
    std::printf("%s{\"name\":%s,\"address\":%s,\"port\":%s,\"link\":%s}", i ? "," : "",
                cli::jsonString(validUtf8(d.name)).c_str(), cli::jsonString(addressText(d)).c_str(),
                cli::jsonString(d.port).c_str(), cli::jsonString(linkName(d.connectType)).c_str());
  }
  std::printf("]\n");
}

void printText(const J2534DeviceList& devices) {
  if (devices.empty()) std::printf("no device found\n");
  for (const J2534Device& d : devices) {
    std::string where = d.connectType == 0 ? d.port : addressText(d);
    std::string name = d.name.empty() ? "(no name)" : logfacade::escapeForLog(d.name);
    std::printf("%-4s %-24s %s\n", linkName(d.connectType), name.c_str(), where.c_str());
  }
}

// The scanners write their diagnostic lines to standard output; while they
// run those lines go to stderr, so stdout carries only the result.
class StdoutToStderr {
 public:
  StdoutToStderr() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    if (saved_ >= 0) dup2(STDERR_FILENO, STDOUT_FILENO);
  }
  ~StdoutToStderr() {
    std::fflush(stdout);
    if (saved_ >= 0) {
      dup2(saved_, STDOUT_FILENO);
      close(saved_);
    }
  }
  StdoutToStderr(const StdoutToStderr&) = delete;
  StdoutToStderr& operator=(const StdoutToStderr&) = delete;

 private:
  int saved_ = -1;
};

int runScan(const cli::Args& args) {
  const std::string link = args.option("link");
  int type = -1;
  for (const LinkName& l : kLinks) {
    if (link == l.name) type = l.type;
  }
  if (type < 0) {
    std::fprintf(stderr, "usage: kestrel-cli scan --link usb|lan|wifi|bt [--json]\n");
    return 2;
  }

  int result = -1;
  bool ran = false;
  J2534DeviceList devices;
  {
    StdoutToStderr redirect;
    cli::Console* console = nullptr;
    cli::Console owner([&](const AppMessage& message) {
      if (cli::printShowText(message)) return;
      if (message.id != UM_SCAN_DONE) return;
      result = static_cast<int>(static_cast<intptr_t>(message.wParam));
      devices = AppState::getInstance().devices();
      console->finished();
    });
    console = &owner;
    AppState::getInstance().setScanType(type);
    ScheduleManager::getInstance().addTask(kWorkerDevInfo, kTaskDevScanner, std::make_shared<DevScanner>());
    ran = owner.runTask(kTaskDevScanner, kScanTimeoutSeconds);
  }
  if (!ran) {
    std::fprintf(stderr, "scan did not finish\n");
    return 1;
  }
  if (args.json) {
    printJson(devices);
  } else {
    printText(devices);
  }
  if (result != 0) std::fprintf(stderr, "scan failed: %d\n", result);
  return result == 0 ? 0 : 1;
}

const cli::CommandRegistration registration("scan", "scan --link usb|lan|wifi|bt [--json]  find devices on one link",
                                            runScan);

}  // namespace
