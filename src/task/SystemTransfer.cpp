#include "task/SystemTransfer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

#include "app/DeviceInfo.h"
#include "devinfo/CDeviceInfo.h"
#include "platform/Clock.h"
#include "platform/UsbDevices.h"
#include "session/Commands.h"
#include "session/CurrentDevice.h"
#include "session/Exchange.h"
#include "session/Frame.h"
#include "session/SessionApi.h"
#include "session/SessionSelection.h"
#include "task/SystemPackage.h"
#include "utils/LogFacade.h"
#include "utils/Md5.h"
#include "utils/TextEscape.h"

namespace {

using namespace std::chrono_literals;

constexpr DeviceCommand kInstallReply = kCmdSystemInstall.reply();
constexpr uint8_t kChunkMarker = 0x02;
constexpr uint8_t kMoreChunks = 0x55;
constexpr uint8_t kFinalChunk = 0xF5;
constexpr size_t kChunkHeader = 5;

// Each try to reach the restarted device is short; kReturnLimit bounds them all.
constexpr int kReturnConnectMs = 200;
constexpr int kAckTimeoutMs = 2000;
constexpr int kInstallTimeoutMs = 3000;
constexpr auto kDropPoll = 200ms;
// A device that installs without restarting shows the new system on the same
// link; one that restarts has dropped it long before the first look.
constexpr auto kVersionPoll = 10s;
// How often the wait for the device's return is reported.
constexpr auto kWaitReportEvery = 10s;
constexpr int kReadBackTries = 3;
constexpr auto kReadBackPause = 1000ms;
// The device answers before it has finished starting its services.
constexpr auto kSettlePause = 5000ms;
constexpr auto kPausePiece = 100ms;
constexpr size_t kLoggedText = 2048;

uint8_t nextFlowId(uint8_t id) { return id == 255 ? 1 : static_cast<uint8_t>(id + 1); }

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string shownText(const std::string& text) { return logfacade::escapeForLog(text, kLoggedText); }

}  // namespace

int SystemTransfer::connect(int limitMs) {
  // The boot-mode port is the one createConfigSession picks; remembered so
  // that its disappearance can tell that the device restarted.
  CurrentDevice& device = CurrentDevice::getInstance();
  const std::string port = device.findBootPort() ? device.configSerialPort() : std::string();
  const int rc = session_.open(createConfigSession, limitMs, OwnedSession::Replace::kOwn, [this] { return stopping(); });
  if (session_.failure() != OwnedSession::Failure::kStart) sessionPort_ = port;
  return rc;
}

void SystemTransfer::close() {
  session_.close();
  sessionPort_.clear();
}

bool SystemTransfer::pause(std::chrono::milliseconds d) {
  for (auto left = d; left.count() > 0; left -= kPausePiece) {
    if (stopping()) return false;
    platform::sleepFor(std::min(left, std::chrono::milliseconds(kPausePiece)));
  }
  return !stopping();
}

SystemResult SystemTransfer::send(const std::string& image, const std::string& version) {
  packageVersion_ = version;
  if (!confirmDevice("before the transfer")) return SystemResult::kFailed;
  return sendUpgradeFile(image) == 0 ? SystemResult::kDone : SystemResult::kRetry;
}

int SystemTransfer::sendUpgradeFile(const std::string& path) {
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
  if (size <= 0 || size > SystemPackage::kMaxSystemImage) {
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
    if (!request.build(Frame::kSystemAddr, Frame::kHostAddr, kCmdSystemChunk) ||
        !request.appendData(buffer.data(), static_cast<unsigned>(kChunkHeader + n))) {
      LOG_WARN("add data failed");
      return -1;
    }
    Frame ack;
    bool sent = false;
    if (exchangeFrame(session_.id(), request, ack, kAckTimeoutMs, &sent) != 0) {
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
        reportSystemFailure("the device refused the package at byte " + std::to_string(offset) + " (status " +
             std::to_string(ack.data()[1]) + "); nothing was installed");
      }
      return -1;
    }
    flowId = nextFlowId(flowId);
    offset += static_cast<int64_t>(n);
    const int progress = static_cast<int>(offset * 100 / size);
    if (progress > lastProgress) {
      lastProgress = progress;
      reportSystemStep(SystemStage::kTransfer, SystemResult::kDone, progress);
    }
    LOG_INFO("start next frame");
  }
  return 0;
}

SystemResult SystemTransfer::install() {
  // Asked once per run, whatever follows: a device that took it and answered
  // late, or not at all, would install a second time.
  Frame request;
  if (!request.build(Frame::kSystemAddr, Frame::kHostAddr, kCmdSystemInstall)) return SystemResult::kFailed;
  Frame reply;
  bool sent = false;
  const bool answered = exchangeFrame(session_.id(), request, reply, kInstallTimeoutMs, &sent) == 0;
  if (!sent) {
    reportSystemFailure("the install request could not be sent (the link is down); the device keeps its system");
    return SystemResult::kFailed;
  }
  if (answered && !acceptInstallReply(reply)) return SystemResult::kFailed;
  if (!answered) LOG_WARN("install not answered in time; waiting for the device to restart");
  return awaitInstall(answered) ? SystemResult::kDone : SystemResult::kFailed;
}

bool SystemTransfer::acceptInstallReply(const Frame& reply) {
  uint8_t status = 0;
  if (!readFirstByte(reply, status)) {
    reportSystemFailure("the device answered the install without a status; read the device again before trying once more");
    return false;
  }
  if (status != 0) {
    reportSystemFailure("the device refused the package (install status " + std::to_string(status) + "); nothing was installed");
    return false;
  }
  reportSystemStep(SystemStage::kInstall, SystemResult::kDone, 100);
  return true;
}

bool SystemTransfer::readSystemVersion(std::string& version) {
  CDeviceInfo reader(static_cast<uint32_t>(session_.id()));
  DeviceInfo info;
  if (!reader.readSystemVersion(info)) return false;
  version = info.system.version;
  return true;
}

bool SystemTransfer::confirmDevice(const char* when) {
  if (expectedSerial_.empty()) {
    reportSystemFailure(std::string("no serial number to check the device against ") + when + "; nothing was sent");
    return false;
  }
  CDeviceInfo reader(static_cast<uint32_t>(session_.id()));
  DeviceInfo info;
  if (!reader.readSerialNumber(info)) {
    reportSystemFailure(std::string("the device on the configuration port does not tell its serial number ") + when +
         "; expected " + shownText(expectedSerial_));
    return false;
  }
  if (info.serialNumber != expectedSerial_) {
    reportSystemFailure(std::string("the device on the configuration port is ") + shownText(info.serialNumber) + ", not " +
         shownText(expectedSerial_) + " " + when);
    return false;
  }
  return true;
}

bool SystemTransfer::linkDropped() {
  if (!isSessionConnected(session_.id())) return true;
  // A serial link cannot tell that its far end went; the port leaving the
  // USB device list can.
  if (sessionPort_.empty()) return false;
  for (const platform::UsbDevice& device : platform::usbDevices()->presentDevices()) {
    if (device.ttyNode == sessionPort_) return false;
  }
  return true;
}

bool SystemTransfer::awaitInstall(bool answered) {
  const int64_t dropDeadline = platform::nowMs() + platform::scaled(kDropLimit).count();
  int64_t nextLook = platform::nowMs() + platform::scaled(kVersionPoll).count();
  // The link dropping after the request is the restart, answered or not.
  while (!linkDropped()) {
    Frame late;
    if (answered) {
      if (!pause(kDropPoll)) return false;
    } else if (recvFrame(session_.id(), late, kInstallReply.cmd, kInstallReply.sub,
                         static_cast<int>(kDropPoll.count())) == 0) {
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
      if (!answered) reportSystemStep(SystemStage::kInstall, SystemResult::kDone, 100);
      return true;
    }
    if (platform::nowMs() >= dropDeadline) {
      reportSystemFailure("the device did not restart after the install and reports system " +
           (version.empty() ? std::string("(none)") : shownText(version)) + ", not the package's " +
           shownText(packageVersion_));
      return false;
    }
    nextLook = platform::nowMs() + platform::scaled(kVersionPoll).count();
  }
  LOG_INFO("link dropped after the install: the device restarts");
  close();
  if (!awaitReturn() || !pause(kSettlePause)) return false;

  std::string version;
  bool told = false;
  for (int attempt = 0; attempt < kReadBackTries && !told; ++attempt) {
    if (attempt > 0 && !pause(kReadBackPause)) return false;
    told = readSystemVersion(version);
  }
  if (!confirmDevice("after the install")) return false;
  if (!told) {
    reportSystemFailure("the device came back after the install but does not tell its system version; read the device again to see what it runs");
    return false;
  }
  if (version != packageVersion_) {
    reportSystemFailure("the device came back after the install with system " + shownText(version) + ", not the package's " +
         shownText(packageVersion_) + ": it did not take the package");
    return false;
  }
  if (!answered) reportSystemStep(SystemStage::kInstall, SystemResult::kDone, 100);
  return true;
}

bool SystemTransfer::awaitReturn() {
  const auto limit = platform::scaled(kReturnLimit);
  const int64_t start = platform::nowMs();
  int64_t nextReport = start;
  while (connect(kReturnConnectMs) != 0) {
    if (stopping()) return false;
    const int64_t now = platform::nowMs();
    if (now - start >= limit.count()) {
      reportSystemFailure("the device did not come back within " + std::to_string(limit.count() / 1000) +
           " s after the install; read the device again to see what it runs");
      return false;
    }
    if (now >= nextReport) {
      reportSystemStep(SystemStage::kInstall, SystemResult::kWaiting,
                     encodeReturnWait({static_cast<int>((now - start) / 1000), static_cast<int>(limit.count() / 1000)}));
      nextReport = now + platform::scaled(kWaitReportEvery).count();
    }
  }
  return true;
}
