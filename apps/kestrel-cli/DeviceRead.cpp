#include "DeviceRead.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>

#include "DeviceChoice.h"
#include "WarningTail.h"
#include "app/DeviceClaim.h"
#include "app/Messages.h"
#include "app/RecordedRun.h"
#include "platform/Paths.h"
#include "platform/UsbDevices.h"
#include "schedule/ScheduleManager.h"
#include "session/SessionApi.h"
#include "task/DevInfoReader.h"
#include "utils/LogFacade.h"
#include "utils/ServiceEndpoints.h"

namespace cli {

namespace {

// Five mode reads of 5 s, the other reads, and up to six web queries of 5 s
// each: this only catches a hung read.
constexpr int kReadTimeoutSeconds = 180;

// Warnings quoted with a failure: enough for the cause, short enough to read.
constexpr size_t kWarningsShown = 3;

int busy(const std::string& holder, std::string* kept = nullptr) {
  if (kept) *kept = holder;
  std::fprintf(stderr, "busy: %s\n", holder.c_str());
  LOG_WARN("device busy: %s", holder.c_str());
  return kExitBusy;
}

}  // namespace

DeviceRead readDevice(const Args& args, ReadEnd end) {
  DeviceRead read;
  std::mutex lock;  // guards read while the console's thread fills it
  {
    bool online = false;
    int finishedCount = 0;
    Console* console = nullptr;
    Console owner([&](const AppMessage& message) {
      std::lock_guard<std::mutex> guard(lock);
      if (message.id == UM_SHOW_TEXT) {
        if (message.text.rfind("ERR_", 0) == 0) read.errors.push_back(message.text);
        printShowText(message, args);
        return;
      }
      if (message.id != UM_DEVICE_INFO || message.wParam == 0) return;
      read.info = *reinterpret_cast<const DeviceInfo*>(message.wParam);
      const auto phase = static_cast<int>(message.lParam);
      if (phase == DevInfoReader::kOnlineRead) online = true;
      if (phase == DevInfoReader::kFinished) ++finishedCount;
      // With an online query the task reports phase 2 twice; the second is the last.
      bool done = phase == DevInfoReader::kNoConnection ||
                  (phase == DevInfoReader::kFinished && finishedCount == (online ? 2 : 1));
      if (!done) return;
      read.connected = phase != DevInfoReader::kNoConnection;
      console->finished();
    });
    console = &owner;
    ScheduleManager::getInstance().addTask(kWorkerDevInfo, kTaskDevInfoReader, std::make_shared<DevInfoReader>());
    const bool finished = owner.runTask(kTaskDevInfoReader, kReadTimeoutSeconds);
    if (finished && end == ReadEnd::TaskEnded) waitForIdleWorker();
    std::lock_guard<std::mutex> guard(lock);
    read.finished = finished;
  }
  // The task may not have closed its session yet, and a session left open
  // is retried by the receive worker until the process ends.
  if (end == ReadEnd::SessionClosed) closeAllSessions();
  return read;
}

int checkRead(const DeviceRead& read) {
  if (!read.finished) {
    std::fprintf(stderr, "the device read did not finish\n");
    return kExitFailed;
  }
  if (!read.connected) {
    std::fprintf(stderr,
                 "no device connected: tried %s.\nAttach the device, or find it with 'kestrel-cli scan --link "
                 "usb|lan|wifi|bt' and choose it with 'kestrel-cli use --link LINK NAME'.\n",
                 triedEndpoints().c_str());
    if (std::string hint = serialPermissionHint(); !hint.empty()) std::fprintf(stderr, "%s\n", hint.c_str());
    return kExitNoDevice;
  }
  if (read.info.serialNumber.empty()) {
    std::fprintf(stderr, "the device answered but gave no serial number; see the log for the replies\n");
    return kExitFailed;
  }
  return kExitOk;
}

int refuseClaimedDevice() {
  // Even a read would disturb a transfer in progress: refuse before the
  // first frame when the device this run would open is claimed.
  std::string holder;
  if (isDefaultDeviceClaimed(expectedSerial(), holder)) return busy(holder);
  return kExitOk;
}

int refuseClaimedSerial(const std::string& serialNumber) {
  std::string holder;
  if (platform::DeviceLock::isClaimed(serialNumber, "", holder)) return busy(holder);
  return kExitOk;
}

int readAndClaim(const Args& args, const std::string& what, bool dryRun, Claim& claim) {
  if (int rc = chooseForRun(args); rc != kExitOk) return rc;
  claim.serialNumber = expectedSerial();
  if (std::string holder; isDefaultDeviceClaimed(claim.serialNumber, holder)) return busy(holder, &claim.holder);
  claim.read = readDevice(args);
  if (int rc = checkRead(claim.read); rc != kExitOk) return rc;
  const std::string& serial = claim.read.info.serialNumber;
  claim.serialNumber = serial;
  if (dryRun) return refuseClaimedSerial(serial);
  std::string holder;
  switch (::claimDevice(serial, what + " of " + serial, claim.lock, holder, &claim.place)) {
    case platform::DeviceLock::Result::Acquired:
      return kExitOk;
    case platform::DeviceLock::Result::Busy:
      return busy(holder, &claim.holder);
    case platform::DeviceLock::Result::Failed:
      std::fprintf(stderr, "cannot claim the device: %s\n", holder.c_str());
      return kExitFailed;
  }
  return kExitFailed;
}

int recordRefusal(const Claim& claim, const char* what, int rc) {
  // Refused before its read, the device is known only by what was chosen, and
  // with nothing chosen only by where it is reached.
  if (rc != kExitBusy) return rc;
  RecordedRun(claim.serialNumber, what, "", claim.place).finish(RunResult::Refused, "", "", "busy: " + claim.holder);
  return rc;
}

std::string servicesProblem() {
  const std::string path = readServiceEndpointsPath();
  std::error_code ec;
  const char* what = nullptr;
  if (!std::filesystem::is_regular_file(path, ec)) {
    what = "is missing";
  } else {
    const ServiceEndpoints e = loadServiceEndpoints(path);
    if (e.softListUrl.empty() && e.softListUrlCN.empty() && e.versionServiceUrl.empty() &&
        e.versionServiceUrlCN.empty() && e.firmwareInfoUrl.empty() && e.systemPackageHost.empty()) {
      what = "names no web service";
    }
  }
  if (!what) return "";
  return "the web services' endpoints file " + path + " " + what +
         " (section [Services]); write it, or " + kSystemServicesFile +
         " for every user, or point KESTREL_SERVICES at one";
}

std::string serialPermissionHint() {
  for (const platform::UsbDevice& d : platform::usbDevices()->presentDevices()) {
    if (d.ttyNode.empty() || access(d.ttyNode.c_str(), R_OK | W_OK) == 0 || errno != EACCES) continue;
    return "cannot open " + d.ttyNode +
           ": permission denied; the udev rule /usr/lib/udev/rules.d/70-kestrel.rules gives the device to the "
           "logged-in user once loaded (sudo udevadm control --reload && sudo udevadm trigger); or add yourself to "
           "the 'dialout' group (sudo usermod -aG dialout $USER) and log in again";
  }
  return "";
}

std::string logFileHint() {
  std::string hint = "details in " + platform::joinPath(platform::logDir(), "Tarnfield.log");
  std::string lines = warningLines(kWarningsShown);
  if (!lines.empty()) lines.pop_back();
  return lines.empty() ? hint : hint + ", last warnings:\n" + lines;
}

std::string versionText(const std::string& version) { return version.empty() ? "unknown" : shown(version); }

}  // namespace cli
