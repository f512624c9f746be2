#include "task/SystemUpgrader.h"

#include <cJSON.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "app/AppState.h"
#include "app/DeviceInfo.h"
#include "app/TextNotifier.h"
#include "devinfo/CDeviceInfo.h"
#include "platform/Clock.h"
#include "platform/FileUtils.h"
#include "platform/Paths.h"
#include "platform/PrivateProfile.h"
#include "platform/UsbDevices.h"
#include "session/CurrentDevice.h"
#include "session/Exchange.h"
#include "session/Frame.h"
#include "session/SessionApi.h"
#include "session/SessionSelection.h"
#include "utils/LogFacade.h"
#include "utils/Md5.h"
#include "utils/RemoteUtils.h"
#include "utils/RunFolder.h"
#include "utils/ServiceEndpoints.h"
#include "utils/TextEscape.h"
#include "utils/ZipUtils.h"

namespace {

using namespace std::chrono_literals;

constexpr uint8_t kSystemCommand = 0x2C;
constexpr uint8_t kChunkSub = 0x05;
constexpr uint8_t kInstallSub = 0x07;
constexpr uint8_t kInstallReply = 0x6C;
constexpr uint8_t kChunkMarker = 0x02;
constexpr uint8_t kMoreChunks = 0x55;
constexpr uint8_t kFinalChunk = 0xF5;
constexpr size_t kChunkHeader = 5;

constexpr int kFirstConnectMs = 10000;
// Each try to reach the restarted device is short; kReturnLimit bounds them all.
constexpr int kReturnConnectMs = 200;
constexpr int kAckTimeoutMs = 2000;
constexpr int kInstallTimeoutMs = 3000;
constexpr int kTries = 3;
constexpr int kWebTimeoutSeconds = 5;
constexpr int kMethodGet = 0;
constexpr auto kPrepareRetryPause = 100ms;
constexpr auto kDropPoll = 200ms;
// A device that installs without restarting shows the new system on the same
// link; one that restarts has dropped it long before the first look.
constexpr auto kVersionPoll = 10s;
// How often the wait for the device's return is reported.
constexpr auto kWaitReportEvery = 10s;
constexpr int kReadBackTries = 3;
constexpr auto kReadBackPause = 1000ms;
constexpr int kTextToError = 0;
// The device answers before it has finished starting its services.
constexpr auto kSettlePause = 5000ms;
constexpr auto kPausePiece = 100ms;
constexpr size_t kLoggedText = 2048;
// Read bound for system.ini: far more than its few keys ever need.
constexpr size_t kMaxDescriptionFile = 64 * 1024;

constexpr char kNoFile[] = "nofile";
constexpr char kQueryPath[] = "/Veyra/v3/soft-wares?serial_number=";
constexpr const char* kVersionKeys[] = {"Version", "Corbelb_Version", "Corbelc_Version", "Harbinova_Version"};

// A result that must end the run at once, whatever the state: the step was
// answered and failed, so repeating it could do harm (a second install).
constexpr int kFailed = -1;

// The state after a step's result; -1 when the result ends the run.
int nextState(int state, int result) {
  using U = SystemUpgrader;
  switch (state) {
    case U::kPrepare: return result == U::kDone ? U::kDownload : result == U::kNoPackage ? U::kChoose
                             : result == U::kGiveUp ? U::kEnd : -1;
    case U::kDownload: return result == U::kDone ? U::kTransfer : -1;
    case U::kChoose: return result == U::kDone ? U::kTransfer : result == U::kGiveUp ? U::kEnd : -1;
    case U::kTransfer: return result == U::kDone ? U::kInstall : -1;
    case U::kInstall: return result == U::kDone ? U::kEnd : -1;
  }
  return -1;
}

uint8_t nextFlowId(uint8_t id) { return id == 255 ? 1 : static_cast<uint8_t>(id + 1); }

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string shownText(const std::string& text) { return logfacade::escapeForLog(text, kLoggedText); }

bool isCleanValue(const std::string& value) {
  if (value.size() > SystemUpgrader::kMaxDescriptionValue) return false;
  return std::none_of(value.begin(), value.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b < 0x20 || b == 0x7F;
  });
}

}  // namespace

std::string SystemUpgrader::packageQueryUrl(const std::string& host, const std::string& serialNumber) {
  return host + kQueryPath + urlEncode(serialNumber);
}

int SystemUpgrader::encodeWait(ReturnWait wait) {
  const int waited = std::clamp(wait.waitedSeconds, 0, 0xFFFF);
  const int limit = std::clamp(wait.limitSeconds, 0, 0x7FFF);
  return (limit << 16) | waited;
}

SystemUpgrader::ReturnWait SystemUpgrader::decodeWait(int value) {
  return {value & 0xFFFF, (value >> 16) & 0x7FFF};
}

std::string SystemUpgrader::waitText(int value) {
  const ReturnWait wait = decodeWait(value);
  return "waiting for the device to come back after the install: " + std::to_string(wait.waitedSeconds) +
         " s so far, at most " + std::to_string(wait.limitSeconds) + " s";
}

bool SystemUpgrader::parsePackageReply(std::string_view reply, std::string& url) {
  cJSON* root = cJSON_ParseWithLength(reply.data(), reply.size());
  if (root == nullptr) return false;
  const cJSON* data = cJSON_GetObjectItemCaseSensitive(root, "data");
  const cJSON* path = cJSON_IsObject(data) ? cJSON_GetObjectItemCaseSensitive(data, "path") : nullptr;
  const bool ok = cJSON_IsString(path) && path->valuestring != nullptr;
  if (ok) url = path->valuestring;
  cJSON_Delete(root);
  return ok;
}

bool SystemUpgrader::checkDescription(std::string_view iniText) {
  const std::optional<std::string> version = platform::findProfileValue(iniText, "Info", "Version");
  if (!version || version->empty()) return false;
  for (const char* key : kVersionKeys) {
    const std::optional<std::string> value = platform::findProfileValue(iniText, "Info", key);
    if (value && !isCleanValue(*value)) return false;
  }
  return true;
}

bool SystemUpgrader::unpackPackage(const std::string& package, const std::string& folder, std::string& image,
                                   std::string& version, std::string& problem) {
  const int rc = ziputils::unzipToFolder(package, folder);
  switch (rc) {
    case 0: break;
    case ziputils::kOpenFailed: problem = "not a zip archive"; break;
    case ziputils::kUnsafeEntry:
      problem = "an entry is not a plain file inside the package (a path that escapes it, a link, a device or "
                "an encrypted entry)";
      break;
    case ziputils::kTooManyEntries: problem = "too many entries"; break;
    case ziputils::kTooLarge: problem = "too large once unpacked"; break;
    default: problem = "cannot be unpacked (code " + std::to_string(rc) + ")"; break;
  }
  if (rc != 0) return false;
  const std::string ini = ziputils::findFileByName(folder, "system.ini");
  if (ini.empty()) {
    problem = "no system.ini in the package";
    return false;
  }
  std::string description;
  if (!platform::readFilePrefix(ini, kMaxDescriptionFile, description) || description.size() > kMaxDescriptionFile ||
      !checkDescription(description)) {
    problem = "system.ini has no usable [Info] Version (missing, empty, too long or with control characters)";
    return false;
  }
  image = ziputils::findFileByName(folder, "system.zip");
  if (image.empty()) {
    problem = "no system.zip in the package";
    return false;
  }
  std::error_code ec;
  const auto size = std::filesystem::file_size(image, ec);
  if (ec || size == 0 || size > static_cast<uint64_t>(kMaxSystemImage)) {
    problem = ec ? "system.zip cannot be read" : size == 0 ? "system.zip is empty" : "system.zip is too large";
    return false;
  }
  version = platform::findProfileValue(description, "Info", "Version").value_or("");
  return true;
}

bool SystemUpgrader::checkPackage(const std::string& package, std::string& version, std::string& problem) {
  RunFolder work("system-");
  if (work.path().empty()) {
    problem = "no room to unpack it (errno " + std::to_string(errno) + ")";
    return false;
  }
  std::string image;
  return unpackPackage(package, work.path(), image, version, problem);
}

int SystemUpgrader::setParam(const std::string& key, const std::string& value) {
  Task::setParam(key, value);
  const std::string path = getParam("pkgPath");
  std::lock_guard<std::mutex> guard(waitLock_);
  if (!path.empty()) pkgPath_ = path;
  pkgPathSignal_.notify_all();
  return 0;
}

void SystemUpgrader::stop() {
  stopRequested_.store(true);
  running_.store(0);
  // Under the lock, so a choice that has just found no path cannot miss it.
  std::lock_guard<std::mutex> guard(waitLock_);
  pkgPathSignal_.notify_all();
}

void SystemUpgrader::report(int state, int result, int value) {
  AppState::getInstance().systemProgress(state, result, value);
}

void SystemUpgrader::fail(const std::string& reason) {
  LOG_WARN("system upgrade failed: %s", reason.c_str());
  TextNotifier::getInstance().post(kFailurePrefix, reason, kTextToError);
}

bool SystemUpgrader::pause(std::chrono::milliseconds d) {
  for (auto left = d; left.count() > 0; left -= kPausePiece) {
    if (stopping()) return false;
    platform::sleepFor(std::min(left, std::chrono::milliseconds(kPausePiece)));
  }
  return !stopping();
}

void SystemUpgrader::closeOwnSession() {
  if (session_ != -1) closeSession(session_);
  session_ = -1;
  sessionPort_.clear();
}

int SystemUpgrader::connect(int limitMs) {
  int rc = initSessionManager();
  if (rc != 0) return rc;
  // The boot-mode port is the one createConfigSession picks; remembered so
  // that its disappearance can tell that the device restarted.
  CurrentDevice& device = CurrentDevice::getInstance();
  const std::string port = device.findBootPort() ? device.configSerialPort() : std::string();
  const int id = createConfigSession();
  if (id != session_) closeOwnSession();
  session_ = id;
  sessionPort_ = port;
  if (id == -1) return -1;
  return waitSessionConnected(id, limitMs, [this] { return stopping(); }) ? 0 : -1;
}

void SystemUpgrader::run() {
  running_.store(1);
  state_ = kPrepare;
  if (stopping()) {
    LOG_WARN("system upgrade stopped before it started");
    report(state_, kRetry, 0);
    finishRun();
    return;
  }
  if (connect(kFirstConnectMs) != 0) {
    LOG_WARN("connect device failed");
    report(state_, kRetry, 0);
    finishRun();
    return;
  }
  int retries = 0;
  int lastResult = kDone;
  bool reported = false;  // the run's last report is out
  while (running_.load() == 1 && !reported) {
    const int state = state_;
    if (state == kEnd) {
      running_.store(0);
      report(kEnd, lastResult, 0);
      reported = true;
      break;
    }
    int result = step(state);
    if (stopping()) break;
    if (result == kRetry) {
      // A failed transfer is not repeated: the device would start over anyway.
      retries = state == kTransfer ? kTries : retries + 1;
      if (retries < kTries) {
        if (state == kPrepare) pause(kPrepareRetryPause);
        continue;
      }
      // The package service keeps failing: offer the local package instead.
      if (state != kPrepare) {
        report(state, kRetry, 0);
        reported = true;
        break;
      }
      result = kNoPackage;
    }
    retries = 0;
    const int next = nextState(state, result);
    // A rejected package, an answered failure or anything unforeseen ends
    // the run as a failure of its step.
    report(state, next == -1 ? kRetry : result, 0);
    reported = next == -1;
    lastResult = result;
    state_ = next;
  }
  if (!reported) {
    LOG_WARN("system upgrade stopped in state %d", state_);
    report(state_, kRetry, 0);
  }
  finishRun();
}

int SystemUpgrader::step(int state) {
  switch (state) {
    case kPrepare: return prepare();
    case kDownload: return download();
    case kChoose: return waitBoxChoicePkg();
    case kTransfer: return transfer();
    case kInstall: return install();
  }
  return kFailed;
}

void SystemUpgrader::finishRun() {
  running_.store(0);
  state_ = kPrepare;
  {
    std::lock_guard<std::mutex> guard(waitLock_);
    pkgPath_.clear();
  }
  serialNumber_.clear();
  expectedSerial_.clear();
  packageVersion_.clear();
  packageUrl_.clear();
  clearParams();
  closeOwnSession();
  downloads_.reset();
  stopRequested_.store(false);
}

int SystemUpgrader::prepare() {
  serialNumber_ = getParam("sn");
  expectedSerial_ = getParam("deviceSn");
  if (expectedSerial_.empty()) expectedSerial_ = serialNumber_;
  packageUrl_.clear();
  if (serialNumber_.empty()) {
    LOG_INFO("no serial number, no package online");
    return kNoPackage;
  }
  const std::string url = packageQueryUrl(loadServiceEndpoints().systemPackageHost, serialNumber_);
  LOG_INFO("start request url : %s", logfacade::escapeForLog(url, kLoggedText).c_str());
  std::string response;
  const int rc = RemoteUtils::request(url, kMethodGet, "", RemoteUtils::kContentJson, response, kWebTimeoutSeconds,
                                      &stopRequested_);
  // -1 is a URL that does not split: asking again cannot help.
  if (rc == -1) return kNoPackage;
  if (rc != 0) {
    LOG_INFO("request failed, errCode : %d", rc);
    return kRetry;
  }
  LOG_INFO("response : %s", logfacade::escapeForLog(response, kLoggedText).c_str());
  std::string location, host, path;
  uint16_t port = 0;
  bool https = false;
  if (!parsePackageReply(response, location) || !RemoteUtils::parseUrl(location, host, path, port, https)) {
    LOG_INFO("no system package online");
    return kNoPackage;
  }
  packageUrl_ = location;
  return kDone;
}

int SystemUpgrader::download() {
  // A folder of this run's own: another run's download never takes its place,
  // and the package goes with the folder when the run ends.
  if (!downloads_) downloads_ = std::make_unique<RunFolder>("download-");
  const std::string destination =
      downloads_->path().empty() ? std::string() : platform::joinPath(downloads_->path(), "SYSTEM_PACKAGE.zip");
  if (packageUrl_.empty() || destination.empty()) return kRetry;
  const int rc = RemoteUtils::download(packageUrl_, kMethodGet, "", destination, kWebTimeoutSeconds, &stopRequested_);
  if (rc != 0) {
    LOG_WARN("download system package failed rlt : %d", rc);
    return kRetry;
  }
  std::lock_guard<std::mutex> guard(waitLock_);
  pkgPath_ = destination;
  return kDone;
}

int SystemUpgrader::waitBoxChoicePkg() {
  std::unique_lock<std::mutex> guard(waitLock_);
  const auto deadline = platform::SteadyClock::now() + platform::scaled(kChoiceLimit);
  while (pkgPath_.empty()) {
    if (stopping()) return kGiveUp;
    LOG_INFO("have not set pkgFile");
    if (pkgPathSignal_.wait_until(guard, deadline) == std::cv_status::timeout && pkgPath_.empty()) {
      LOG_WARN("no package chosen in time");
      return kGiveUp;
    }
  }
  return pkgPath_ == kNoFile ? kGiveUp : kDone;
}

int SystemUpgrader::transfer() {
  std::string package;
  {
    std::lock_guard<std::mutex> guard(waitLock_);
    package = pkgPath_;
  }
  // A folder of its own for each attempt: nothing of the user's is touched,
  // and nothing an earlier attempt left can pass for this package.
  RunFolder work("system-");
  if (work.path().empty()) {
    LOG_WARN("cannot make a work folder, errCode : %d", errno);
    return kRetry;
  }
  std::string image, problem;
  if (!unpackPackage(package, work.path(), image, packageVersion_, problem)) {
    fail("the package " + shownText(package) + " is not a system package: " + problem + "; nothing was sent");
    return kRejected;
  }
  if (!confirmDevice("before the transfer")) return kFailed;
  return sendUpgradeFile(image) == 0 ? kDone : kRetry;
}

int SystemUpgrader::sendUpgradeFile(const std::string& path) {
  const std::string shown = logfacade::escapeForLog(path, kLoggedText);
  File file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    LOG_WARN("open file [%s] failed, errCode : %d", shown.c_str(), errno);
    return -1;
  }
  LOG_WARN("open file [%s] success", shown.c_str());
  LOG_WARN("fseek seek end rlt : %d", ::fseeko(file.get(), 0, SEEK_END));
  const int64_t size = ::ftello(file.get());
  LOG_WARN("ftell  rlt : %lld", static_cast<long long>(size));
  LOG_WARN("fseek seek set 0 rlt : %d", ::fseeko(file.get(), 0, SEEK_SET));
  if (size <= 0 || size > kMaxSystemImage) {
    LOG_WARN("system image size %lld out of range", static_cast<long long>(size));
    return -1;
  }

  // Streamed twice, digest first, so memory does not grow with the image.
  std::vector<uint8_t> buffer(kChunkHeader + kChunkSize);
  uint8_t* const bytes = buffer.data() + kChunkHeader;
  Md5 md5;
  for (int64_t left = size; left > 0;) {
    const size_t n = static_cast<size_t>(std::min<int64_t>(left, kChunkSize));
    if (std::fread(bytes, 1, n, file.get()) != n) {
      LOG_WARN(" read file failed");
      return -1;
    }
    md5.update(bytes, n);
    left -= static_cast<int64_t>(n);
  }
  LOG_INFO("file MD5:%s", md5.finish().c_str());
  if (::fseeko(file.get(), 0, SEEK_SET) != 0) {
    LOG_WARN(" read file failed");
    return -1;
  }

  uint8_t flowId = 0;
  int lastProgress = 0;
  for (int64_t offset = 0; offset < size;) {
    if (stopping()) {
      LOG_WARN("transfer stopped at offset %lld", static_cast<long long>(offset));
      return -1;
    }
    const size_t n = static_cast<size_t>(std::min<int64_t>(size - offset, kChunkSize));
    if (std::fread(bytes, 1, n, file.get()) != n) {
      LOG_WARN(" read file failed");
      return -1;
    }
    // The last chunk carries the end marker whatever its length.
    const bool last = offset + static_cast<int64_t>(n) >= size;
    buffer[0] = kChunkMarker;
    buffer[1] = last ? kFinalChunk : kMoreChunks;
    buffer[2] = flowId;
    buffer[3] = static_cast<uint8_t>(n >> 8);
    buffer[4] = static_cast<uint8_t>(n);
    Frame request;
    if (!request.build(Frame::kSystemAddr, Frame::kHostAddr, kSystemCommand, kChunkSub) ||
        !request.appendData(buffer.data(), static_cast<unsigned>(kChunkHeader + n))) {
      LOG_WARN("add data failed");
      return -1;
    }
    Frame ack;
    bool sent = false;
    if (exchangeFrame(session_, request, ack, kAckTimeoutMs, &sent) != 0) {
      if (sent) {
        LOG_WARN("recv pkg data failed");
      } else {
        LOG_WARN("send message failed, flowId : %d", flowId);
      }
      return -1;
    }
    // Flow id, then status: an acknowledgement shorter than that acknowledges nothing.
    if (ack.payloadSize() < 2 || ack.data()[0] != flowId || ack.data()[1] != 0) {
      LOG_WARN("send pkg data failed");
      if (ack.payloadSize() >= 2 && ack.data()[0] == flowId) {
        fail("the device refused the package at byte " + std::to_string(offset) + " (status " +
             std::to_string(ack.data()[1]) + "); nothing was installed");
      }
      return -1;
    }
    flowId = nextFlowId(flowId);
    offset += static_cast<int64_t>(n);
    const int progress = static_cast<int>(offset * 100 / size);
    if (progress > lastProgress) {
      lastProgress = progress;
      report(kTransfer, kDone, progress);
    }
    LOG_INFO("start next frame");
  }
  return 0;
}

int SystemUpgrader::install() {
  // Asked once per run, whatever follows: a device that took it and answered
  // late, or not at all, would install a second time.
  Frame request;
  if (!request.build(Frame::kSystemAddr, Frame::kHostAddr, kSystemCommand, kInstallSub)) return kFailed;
  Frame reply;
  bool sent = false;
  const bool answered = exchangeFrame(session_, request, reply, kInstallTimeoutMs, &sent) == 0;
  if (!sent) {
    fail("the install request could not be sent (the link is down); the device keeps its system");
    return kFailed;
  }
  if (answered && !acceptInstallReply(reply)) return kFailed;
  if (!answered) LOG_WARN("install not answered in time; waiting for the device to restart");
  return awaitInstall(answered) ? kDone : kFailed;
}

bool SystemUpgrader::acceptInstallReply(const Frame& reply) {
  uint8_t status = 0;
  if (!readFirstByte(reply, status)) {
    fail("the device answered the install without a status; read the device again before trying once more");
    return false;
  }
  if (status != 0) {
    fail("the device refused the package (install status " + std::to_string(status) + "); nothing was installed");
    return false;
  }
  report(kInstall, kDone, 100);
  return true;
}

bool SystemUpgrader::readSystemVersion(std::string& version) {
  CDeviceInfo reader(static_cast<uint32_t>(session_));
  DeviceInfo info;
  if (!reader.readSystemVersion(info)) return false;
  version = info.system.version;
  return true;
}

bool SystemUpgrader::confirmDevice(const char* when) {
  if (expectedSerial_.empty()) {
    fail(std::string("no serial number to check the device against ") + when + "; nothing was sent");
    return false;
  }
  CDeviceInfo reader(static_cast<uint32_t>(session_));
  DeviceInfo info;
  if (!reader.readSerialNumber(info)) {
    fail(std::string("the device on the configuration port does not tell its serial number ") + when +
         "; expected " + shownText(expectedSerial_));
    return false;
  }
  if (info.serialNumber != expectedSerial_) {
    fail(std::string("the device on the configuration port is ") + shownText(info.serialNumber) + ", not " +
         shownText(expectedSerial_) + " " + when);
    return false;
  }
  return true;
}

bool SystemUpgrader::linkDropped() {
  if (!isSessionConnected(session_)) return true;
  // A serial link cannot tell that its far end went; the port leaving the
  // USB device list can.
  if (sessionPort_.empty()) return false;
  for (const platform::UsbDevice& device : platform::usbDevices()->presentDevices()) {
    if (device.ttyNode == sessionPort_) return false;
  }
  return true;
}

bool SystemUpgrader::awaitInstall(bool answered) {
  const int64_t dropDeadline = platform::nowMs() + platform::scaled(kDropLimit).count();
  int64_t nextLook = platform::nowMs() + platform::scaled(kVersionPoll).count();
  // The link dropping after the request is the restart, answered or not.
  while (!linkDropped()) {
    Frame late;
    if (answered) {
      if (!pause(kDropPoll)) return false;
    } else if (recvFrame(session_, late, kInstallReply, kInstallSub, static_cast<int>(kDropPoll.count())) == 0) {
      LOG_INFO("install answered late");
      if (!acceptInstallReply(late)) return false;
      answered = true;
    }
    if (stopping()) return false;
    const int64_t now = platform::nowMs();
    if (now < nextLook && now < dropDeadline) continue;
    std::string version;
    if (readSystemVersion(version) && version == packageVersion_) {
      LOG_INFO("device runs system %s without a restart", shownText(version).c_str());
      if (!answered) report(kInstall, kDone, 100);
      return true;
    }
    if (platform::nowMs() >= dropDeadline) {
      fail("the device did not restart after the install and reports system " +
           (version.empty() ? std::string("(none)") : shownText(version)) + ", not the package's " +
           shownText(packageVersion_));
      return false;
    }
    nextLook = platform::nowMs() + platform::scaled(kVersionPoll).count();
  }
  LOG_INFO("link dropped after the install: the device restarts");
  closeOwnSession();
  if (!awaitReturn() || !pause(kSettlePause)) return false;

  std::string version;
  bool told = false;
  for (int attempt = 0; attempt < kReadBackTries && !told; ++attempt) {
    if (attempt > 0 && !pause(kReadBackPause)) return false;
    told = readSystemVersion(version);
  }
  if (!confirmDevice("after the install")) return false;
  if (!told) {
    fail("the device came back after the install but does not tell its system version; read the device again to see what it runs");
    return false;
  }
  if (version != packageVersion_) {
    fail("the device came back after the install with system " + shownText(version) + ", not the package's " +
         shownText(packageVersion_) + ": it did not take the package");
    return false;
  }
  if (!answered) report(kInstall, kDone, 100);
  return true;
}

bool SystemUpgrader::awaitReturn() {
  const auto limit = platform::scaled(kReturnLimit);
  const int64_t start = platform::nowMs();
  int64_t nextReport = start;
  while (connect(kReturnConnectMs) != 0) {
    if (stopping()) return false;
    const int64_t now = platform::nowMs();
    if (now - start >= limit.count()) {
      fail("the device did not come back within " + std::to_string(limit.count() / 1000) +
           " s after the install; read the device again to see what it runs");
      return false;
    }
    if (now >= nextReport) {
      report(kInstall, kWaiting,
             encodeWait({static_cast<int>((now - start) / 1000), static_cast<int>(limit.count() / 1000)}));
      nextReport = now + platform::scaled(kWaitReportEvery).count();
    }
  }
  return true;
}
