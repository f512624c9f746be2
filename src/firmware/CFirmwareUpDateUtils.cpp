#include "firmware/CFirmwareUpDateUtils.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <vector>

#include "app/AppState.h"
#include "app/DeviceModel.h"
#include "platform/Clock.h"
#include "session/Commands.h"
#include "session/CurrentDevice.h"
#include "session/Exchange.h"
#include "session/Frame.h"
#include "session/SessionSelection.h"
#include "utils/LogFacade.h"
#include "utils/Md5.h"

namespace {

using namespace std::chrono_literals;


constexpr uint8_t kStatusOk = 0x00;
constexpr uint8_t kSafetyStatus = 0x02;
constexpr uint8_t kNumericBootEntry = 0x02;
constexpr uint8_t kSafetyRequest = 0x02;

constexpr int kReplyTimeoutMs = 2000;
// The boot loader prepares its flash area before it answers the announcement.
constexpr int kAnnounceTimeoutMs = 5000;
constexpr int kModeReadAttempts = 5;
constexpr int kChunkTries = 3;
// A Q-TRAK device restarts into its boot loader after kCmdQtrakEnterBoot.
constexpr auto kQtrakRestartWait = 4000ms;
// The numeric boot entry restarts the device as well, more quickly.
constexpr auto kDigitRestartWait = 1000ms;
// A device that restarted takes a few seconds to offer its link again.
constexpr int kConnectLimitMs = 10000;
// A boot loader's USB port, once listed, can be held a moment by another run
// asking every port who it is.
constexpr int kBootPortAttempts = 10;
constexpr auto kBootPortRetryWait = 300ms;

constexpr uint32_t kModel0Image = 0x60000;
constexpr uint32_t kJ2534Image = 0x70000;
constexpr size_t kMaxAnnouncement = 128;

void putBe16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

void putBe32(std::vector<uint8_t>& out, uint32_t v) {
  putBe16(out, v >> 16);
  putBe16(out, v & 0xFFFF);
}

bool buildRequest(Frame& frame, DeviceCommand command, const std::vector<uint8_t>& data = {}) {
  return frame.build(Frame::kDeviceAddr, Frame::kHostAddr, command, data.empty() ? nullptr : data.data(),
                     static_cast<unsigned>(data.size()));
}

// The first data byte, when the reply has one.
bool statusOf(const Frame& reply, uint8_t& status) { return readFirstByte(reply, status); }

bool readWholeFile(const std::string& path, std::vector<uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

std::string CFirmwareUpDateUtils::imageName(const std::string& softType) {
  if (softType == "1" || softType == "2") return "DOWNLOAD.BIN";
  if (softType == "3") return "J2534.BIN";
  return {};
}

bool CFirmwareUpDateUtils::exchange(const Frame& request, Frame& reply, int timeoutMs, bool* sent) {
  return exchangeFrame(sessionId(), request, reply, timeoutMs, sent) == 0;
}

bool CFirmwareUpDateUtils::verifyDevice(bool silenceAccepted) {
  Frame request;
  Frame reply;
  std::string answered;
  if (buildRequest(request, kCmdReadSerial) && exchange(request, reply, kReplyTimeoutMs)) {
    // An answer that carries no number is no proof either way: refused.
    if (readString8(reply, answered) && answered == serialNumber) return true;
    LOG_WARN("device serial number %s is not %s, upgrade refused", logfacade::escapeForLog(answered).c_str(),
             logfacade::escapeForLog(serialNumber).c_str());
    return false;
  }
  if (silenceAccepted) return true;
  LOG_WARN("device does not tell its serial number, upgrade refused");
  return false;
}

bool CFirmwareUpDateUtils::upgradeFirmware(const std::string& serial, const std::string& softType,
                                           const std::string& path) {
  if (serial.empty()) return false;
  serialNumber = serial;
  if (isAlphanumericSerial(serial)) return FirmwareUpDateAlphanumeric(softType, path);
  return FirmwareUpDateDigit(softType, path);
}

bool CFirmwareUpDateUtils::FirmwareUpDateAlphanumeric(const std::string& softType, const std::string& path) {
  return firmwareUpDate(BootEntry::Alphanumeric, softType, path);
}

bool CFirmwareUpDateUtils::FirmwareUpDateDigit(const std::string& softType, const std::string& path) {
  return firmwareUpDate(BootEntry::Digit, softType, path);
}

bool CFirmwareUpDateUtils::firmwareUpDate(BootEntry entry, const std::string& softType, const std::string& path) {
  uint64_t length = 0;
  {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
      LOG_WARN("cannot open image file %s", logfacade::escapeForLog(path).c_str());
      return false;
    }
    length = static_cast<uint64_t>(in.tellg());
  }
  LOG_INFO("fileLength : %d, productType:%d, softType:%s", static_cast<int>(std::min<uint64_t>(length, INT32_MAX)),
           modelNumber(productType), logfacade::escapeForLog(softType).c_str());
  if (!checkFileSize(length, productType, softType)) {
    LOG_WARN("file size not right");
    return false;
  }
  bool inBoot = entry == BootEntry::Alphanumeric ? EnterBoot() : enterBootDigit();
  if (!inBoot) return false;
  if (!SafetyCheck()) return false;
  std::string digest;
  if (!burnFile(softType, path, digest)) return false;
  return sendDigest(digest);
}

bool CFirmwareUpDateUtils::checkFileSize(uint64_t length, DeviceModel model, const std::string& softType) {
  if (length > kMaxImageLength) return false;
  if (!traitsOf(model).fixedImageSizes) return true;
  if (softType == "3") return length == kJ2534Image;
  if (softType == "1" || softType == "2") return length == kModel0Image;
  return true;
}

bool CFirmwareUpDateUtils::EnterBoot() {
  uint8_t mode = 0;
  bool answered = false;
  bool hasMode = false;
  for (int attempt = 0; attempt < kModeReadAttempts && !answered; ++attempt) {
    Frame request;
    Frame reply;
    if (!buildRequest(request, kCmdReadMode) || !exchange(request, reply, kReplyTimeoutMs)) continue;
    answered = true;
    hasMode = statusOf(reply, mode);
  }
  // A boot loader need not answer the mode read at all, but one that answers
  // without a mode byte says nothing we could act on: switching or not would
  // both be a guess.
  if (answered && !hasMode) {
    LOG_WARN("mode reply carries no mode");
    return false;
  }
  if (mode == 0) return true;
  if (switchBoot() == 0) return true;
  LOG_WARN("switch boot failed");
  return false;
}

int CFirmwareUpDateUtils::switchBoot() {
  Frame request;
  Frame reply;
  uint8_t status = 0xFF;
  if (isQtrakModel(productType)) {
    bool sent = false;
    if (!buildRequest(request, kCmdQtrakEnterBoot) || !exchange(request, reply, kReplyTimeoutMs, &sent)) {
      LOG_WARN(sent ? "recv 6407 failed" : "send 2407 failed");
      return -1;
    }
    if (!statusOf(reply, status) || status != kStatusOk) return -1;
    platform::sleepFor(kQtrakRestartWait);
    // The next step fails on its own when the device did not come back.
    if (connectDefaultSession() != 0) LOG_WARN("create config connect failed");
    // Whatever answers on the new session must still be the device we read.
    return verifyDevice(true) ? 0 : -1;
  }
  if (!buildRequest(request, kCmdEnterBoot) || !exchange(request, reply, kReplyTimeoutMs)) return -1;
  if (!statusOf(reply, status) || status != kStatusOk) return -1;
  // A device bound by its USB serial port leaves that port: its boot loader
  // comes up as another USB function, found by the serial number it gives.
  if (!CurrentDevice::getInstance().pinnedToSerialPort()) return 0;
  platform::sleepFor(kDigitRestartWait);
  // The port the request went out on may still be listed a moment: only the
  // boot loader's own port will do.
  bool connected = false;
  for (int attempt = 0; !connected && attempt < kBootPortAttempts; ++attempt) {
    if (attempt > 0) platform::sleepFor(kBootPortRetryWait);
    connected = CurrentDevice::getInstance().findBootPort() && connectDefaultSession() == 0;
  }
  if (!connected) {
    LOG_WARN("the boot loader's port of %s was not found", serialNumber.c_str());
    return -1;
  }
  return verifyDevice(true) ? 0 : -1;
}

bool CFirmwareUpDateUtils::enterBootDigit() {
  Frame request;
  Frame reply;
  if (!buildRequest(request, kCmdEnterBoot, {kNumericBootEntry}) || !exchange(request, reply, kReplyTimeoutMs)) {
    return false;
  }
  uint8_t status = 0xFF;
  if (!statusOf(reply, status) || status != kStatusOk) return false;
  platform::sleepFor(kDigitRestartWait);
  // Whether the device is back shows in the safety check; whether it is the
  // device we read, here.
  connectDefaultSession();
  return verifyDevice(true);
}

bool CFirmwareUpDateUtils::SafetyCheck() {
  Frame request;
  Frame challenge;
  bool sent = false;
  if (!buildRequest(request, kCmdSafetyChallenge, {kSafetyRequest})) return false;
  if (!exchange(request, challenge, kReplyTimeoutMs, &sent)) {
    if (sent) LOG_WARN("fail to recieve 6502");
    return false;
  }
  uint8_t status = 0;
  if (!statusOf(challenge, status)) {
    LOG_WARN("safety check failed");
    return false;
  }
  if (status != kSafetyStatus) {
    LOG_WARN("val is not 0x02, actually val is %02x", status);
    return false;
  }
  if (challenge.payloadSize() < 5) {
    LOG_WARN("safety check failed");
    return false;
  }
  const uint8_t* d = challenge.data();
  Frame answer;
  Frame result;
  if (!buildRequest(answer, kCmdSafetyAnswer, {kSafetyRequest, d[1], d[2], d[3], d[4]})) return false;
  const bool received = exchange(answer, result, kReplyTimeoutMs, &sent);
  if (!sent) return false;
  // Without a reply the size logged is the request's own.
  if (received) answer = std::move(result);
  LOG_INFO("date size %d", static_cast<int>(answer.payloadSize()));
  if (!received) {
    LOG_WARN("fail to recieve 6503");
    return false;
  }
  if (answer.payloadSize() >= 2 && answer.data()[0] == kSafetyStatus && answer.data()[1] == kStatusOk) return true;
  LOG_WARN("safety check failed");
  return false;
}

bool CFirmwareUpDateUtils::burnFile(const std::string& softType, const std::string& path, std::string& digest) {
  std::vector<uint8_t> image;
  if (!readWholeFile(path, image) || image.empty()) return false;
  if (image.size() > kMaxImageLength) return false;
  digest = Md5::hex(image.data(), image.size());
  if (digest.size() != 32) return false;
  if (notifyFirmwareInfo(softType, static_cast<uint32_t>(image.size())) != 0) return false;
  return sendBin(image.data(), image.size()) == 0;
}

int CFirmwareUpDateUtils::notifyFirmwareInfo(const std::string& softType, uint32_t length) {
  const std::string name = imageName(softType);
  if (name.empty()) {
    LOG_WARN("not support firmware type : %s", logfacade::escapeForLog(softType).c_str());
    return -1;
  }
  std::vector<uint8_t> block;
  putBe16(block, static_cast<uint32_t>(name.size() + 1));
  block.insert(block.end(), name.begin(), name.end());
  block.push_back(0);
  putBe32(block, length);
  Frame request;
  Frame reply;
  bool sent = false;
  if (block.size() > kMaxAnnouncement || !buildRequest(request, kCmdImageAnnounce, block) ||
      !exchange(request, reply, kAnnounceTimeoutMs, &sent)) {
    LOG_WARN(sent ? "recv 6402 failed" : "send 2402 failed");
    return -1;
  }
  uint8_t status = 0xFF;
  return statusOf(reply, status) && status == kStatusOk ? 0 : -1;
}

int CFirmwareUpDateUtils::sendBin(const uint8_t* image, size_t length) {
  if (length > kMaxImageLength) return -1;
  size_t offset = 0;
  size_t reportedPercent = 0;
  std::vector<uint8_t> block;
  block.reserve(6 + kChunkSize);
  while (offset < length) {
    const size_t count = std::min(kChunkSize, length - offset);
    block.clear();
    putBe32(block, static_cast<uint32_t>(offset));
    putBe16(block, static_cast<uint32_t>(count));
    block.insert(block.end(), image + offset, image + offset + count);
    Frame request;
    if (!buildRequest(request, kCmdImageChunk, block)) return -1;

    Frame reply;
    bool acknowledged = false;
    // A try resends the same frame with the same serial, so a late
    // acknowledgement of an earlier try still counts for this chunk, and
    // never for the next one.
    for (int attempt = 0; attempt < kChunkTries && !acknowledged; ++attempt) {
      bool sent = false;
      acknowledged = exchange(request, reply, kReplyTimeoutMs, &sent);
      if (!acknowledged) LOG_WARN(sent ? " recv msg 6403 failed, retry..." : " send msg 6403 failed, retry...");
    }
    const size_t chunk = offset / kChunkSize + 1;
    const size_t chunks = (length + kChunkSize - 1) / kChunkSize;
    if (!acknowledged) {
      LOG_WARN("retry too many times");
      LOG_WARN("chunk %zu of %zu not acknowledged", chunk, chunks);
      return -1;
    }
    uint8_t status = 0xFF;
    if (!statusOf(reply, status) || status != kStatusOk) {
      LOG_WARN(" parse msg 6403 failed, exist");
      LOG_WARN("retry too many times");
      LOG_WARN("chunk %zu of %zu refused, status : %d", chunk, chunks, status);
      return -1;
    }
    offset += count;
    // At most one report per percent, so a display never slows the transfer.
    const size_t percent = offset * 100 / length;
    if (percent != reportedPercent || offset == length) {
      reportedPercent = percent;
      AppState::getInstance().transferProgress(offset, length);
    }
  }
  return 0;
}

bool CFirmwareUpDateUtils::sendDigest(const std::string& digest) {
  Frame request;
  Frame reply;
  std::vector<uint8_t> text(digest.begin(), digest.end());
  if (!buildRequest(request, kCmdImageDigest, text) || !exchange(request, reply, kReplyTimeoutMs)) return false;
  uint8_t status = 0xFF;
  return statusOf(reply, status) && status == kStatusOk;
}

int CFirmwareUpDateUtils::connectDefaultSession() {
  return session_.open(createDefaultSession, kConnectLimitMs, OwnedSession::Replace::kOwn);
}
