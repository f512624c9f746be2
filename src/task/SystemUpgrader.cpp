#include "task/SystemUpgrader.h"

#include <cJSON.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "app/AppState.h"
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
#include "utils/ServiceEndpoints.h"
#include "utils/TextEscape.h"
#include "utils/ZipUtils.h"

namespace {

using namespace std::chrono_literals;

constexpr uint8_t kSystemCommand = 0x2C;
constexpr uint8_t kChunkSub = 0x05;
constexpr uint8_t kInstallSub = 0x07;
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

// The private folder of one transfer attempt, removed with everything in it
// when the attempt ends.
class WorkFolder {
 public:
  WorkFolder() {
    const std::string parent = platform::updateDir();
    std::error_code ec;
    std::filesystem::create_directories(parent, ec);
    std::string pattern = platform::joinPath(parent, "system-XXXXXX");
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~WorkFolder() {
    if (!path_.empty()) ziputils::removeTree(path_);
  }
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

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

std::string SystemUpgrader::downloadPath() { return platform::joinPath(platform::updateDir(), "SYSTEM_PACKAGE.zip"); }

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
  stopRequested_.store(false);
  running_.store(1);
  state_ = kPrepare;
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
  packageUrl_.clear();
  clearParams();
  closeOwnSession();
}

int SystemUpgrader::prepare() {
  serialNumber_ = getParam("sn");
  packageUrl_.clear();
  if (serialNumber_.empty()) {
    LOG_INFO("no serial number, no package online");
    return kNoPackage;
  }
  const std::string url = packageQueryUrl(loadServiceEndpoints().systemPackageHost, serialNumber_);
  LOG_INFO("start request url : %s", logfacade::escapeForLog(url, kLoggedText).c_str());
  std::string response;
  const int rc = RemoteUtils::request(url, kMethodGet, "", RemoteUtils::kContentJson, response, kWebTimeoutSeconds);
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
  const std::string destination = downloadPath();
  if (packageUrl_.empty() || destination.empty()) return kRetry;
  const int rc = RemoteUtils::download(packageUrl_, kMethodGet, "", destination, kWebTimeoutSeconds);
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
  WorkFolder work;
  if (work.path().empty()) {
    LOG_WARN("cannot make a work folder, errCode : %d", errno);
    return kRetry;
  }
  int rc = ziputils::unzipToFolder(package, work.path());
  if (rc != 0) {
    LOG_WARN("unzip system package failed rlt : %d", rc);
    return kRetry;
  }
  const std::string ini = ziputils::findFileByName(work.path(), "system.ini");
  std::string description;
  if (ini.empty() || !platform::readFilePrefix(ini, kMaxDescriptionFile, description) ||
      description.size() > kMaxDescriptionFile || !checkDescription(description)) {
    LOG_WARN("system package description missing or not acceptable");
    return kRejected;
  }
  const std::string image = ziputils::findFileByName(work.path(), "system.zip");
  if (image.empty()) {
    LOG_WARN("system package holds no system.zip");
    return kRetry;
  }
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
  Frame request;
  if (!request.build(Frame::kSystemAddr, Frame::kHostAddr, kSystemCommand, kInstallSub)) return kRetry;
  Frame reply;
  if (exchangeFrame(session_, request, reply, kInstallTimeoutMs) != 0) {
    LOG_WARN("install not answered");
    return kRetry;
  }
  // Answered: from here on the install is never asked for again.
  uint8_t status = 0xFF;
  if (!readFirstByte(reply, status) || status != 0) {
    LOG_WARN("install refused, status : %d", status);
    return kFailed;
  }
  report(kInstall, kDone, 100);
  if (!awaitRestart()) return kFailed;
  return pause(kSettlePause) ? kDone : kFailed;
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

bool SystemUpgrader::awaitRestart() {
  const int64_t dropDeadline = platform::nowMs() + platform::scaled(kDropLimit).count();
  while (!linkDropped()) {
    if (platform::nowMs() >= dropDeadline) {
      LOG_WARN("device did not restart after install");
      return false;
    }
    if (!pause(kDropPoll)) return false;
  }
  closeOwnSession();
  const int64_t returnDeadline = platform::nowMs() + platform::scaled(kReturnLimit).count();
  while (connect(kReturnConnectMs) != 0) {
    if (stopping()) return false;
    if (platform::nowMs() >= returnDeadline) {
      LOG_WARN("device did not come back after install");
      return false;
    }
  }
  return true;
}
