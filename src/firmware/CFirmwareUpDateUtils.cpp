#include "firmware/CFirmwareUpDateUtils.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <vector>

#include "app/DeviceModel.h"
#include "platform/Clock.h"
#include "session/SessionSelection.h"
#include "session/Frame.h"
#include "session/SessionApi.h"
#include "utils/LogFacade.h"
#include "utils/Md5.h"

namespace {

using namespace std::chrono_literals;

constexpr uint8_t kAddr1 = 0xF0;
constexpr uint8_t kAddr2 = 0xF8;

constexpr uint8_t kStatusOk = 0x00;
constexpr uint8_t kSafetyStatus = 0x02;
constexpr uint8_t kNumericBootEntry = 0x02;
constexpr uint8_t kSafetyRequest = 0x02;

constexpr int kReplyTimeoutMs = 2000;
// The boot loader prepares its flash area before it answers the announcement.
constexpr int kAnnounceTimeoutMs = 5000;
constexpr int kModeReadAttempts = 5;
constexpr int kChunkTries = 3;
// A Q-TRAK device restarts into its boot loader after 0x24 0x07.
constexpr auto kQtrakRestartWait = 4000ms;
// The numeric boot entry restarts the device as well, more quickly.
constexpr auto kDigitRestartWait = 1000ms;
constexpr auto kConnectPoll = 1000ms;
constexpr int kConnectPolls = 10;

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

bool buildRequest(Frame& frame, uint8_t cmd, uint8_t sub, const std::vector<uint8_t>& data = {}) {
  return frame.build(kAddr1, kAddr2, cmd, sub, data.empty() ? nullptr : data.data(),
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

bool CFirmwareUpDateUtils::send(const Frame& frame) { return sendFrame(session(), frame) == 0; }

bool CFirmwareUpDateUtils::receive(Frame& reply, uint8_t cmd, uint8_t sub, int timeoutMs) {
  return recvFrame(session(), reply, cmd, sub, timeoutMs) == 0;
}

void CFirmwareUpDateUtils::discardStaleReplies(uint8_t cmd, uint8_t sub) {
  // Requests and replies pair by command only, so a second answer to an
  // earlier request would otherwise be taken for the answer to the next one.
  constexpr int kMaxStale = 8;
  constexpr int kPeekMs = 1;
  if (!isSessionConnected(session())) return;
  Frame stale;
  for (int i = 0; i < kMaxStale && receive(stale, cmd, sub, kPeekMs); ++i) {
    LOG_INFO("dropped a stale reply %02x %02x", cmd, sub);
  }
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
           productType, logfacade::escapeForLog(softType).c_str());
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

bool CFirmwareUpDateUtils::checkFileSize(uint64_t length, int model, const std::string& softType) {
  if (length > kMaxImageLength) return false;
  if (model < 0 || model > 3) return true;
  if (softType == "3") return length == kJ2534Image;
  if (softType == "1" || softType == "2") return length == kModel0Image;
  return true;
}

bool CFirmwareUpDateUtils::EnterBoot() {
  uint8_t mode = 0;
  bool answered = false;
  bool hasMode = false;
  discardStaleReplies(0x61, 0x14);
  for (int attempt = 0; attempt < kModeReadAttempts && !answered; ++attempt) {
    Frame request;
    if (!buildRequest(request, 0x21, 0x14) || !send(request)) continue;
    Frame reply;
    if (!receive(reply, 0x61, 0x14, kReplyTimeoutMs)) continue;
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
    discardStaleReplies(0x64, 0x07);
    if (!buildRequest(request, 0x24, 0x07) || !send(request)) {
      LOG_WARN("send 2407 failed");
      return -1;
    }
    if (!receive(reply, 0x64, 0x07, kReplyTimeoutMs)) {
      LOG_WARN("recv 6407 failed");
      return -1;
    }
    if (!statusOf(reply, status) || status != kStatusOk) return -1;
    platform::sleepFor(kQtrakRestartWait);
    // The next step fails on its own when the device did not come back.
    if (connectDefaultSession() != 0) LOG_WARN("create config connect failed");
    return 0;
  }
  discardStaleReplies(0x65, 0x05);
  if (!buildRequest(request, 0x25, 0x05) || !send(request)) return -1;
  if (!receive(reply, 0x65, 0x05, kReplyTimeoutMs)) return -1;
  return statusOf(reply, status) && status == kStatusOk ? 0 : -1;
}

bool CFirmwareUpDateUtils::enterBootDigit() {
  Frame request;
  discardStaleReplies(0x65, 0x05);
  if (!buildRequest(request, 0x25, 0x05, {kNumericBootEntry}) || !send(request)) return false;
  Frame reply;
  if (!receive(reply, 0x65, 0x05, kReplyTimeoutMs)) return false;
  uint8_t status = 0xFF;
  if (!statusOf(reply, status) || status != kStatusOk) return false;
  platform::sleepFor(kDigitRestartWait);
  // Whether the device is back shows in the safety check.
  connectDefaultSession();
  return true;
}

bool CFirmwareUpDateUtils::SafetyCheck() {
  Frame request;
  discardStaleReplies(0x65, 0x02);
  if (!buildRequest(request, 0x25, 0x02, {kSafetyRequest}) || !send(request)) return false;
  Frame challenge;
  if (!receive(challenge, 0x65, 0x02, kReplyTimeoutMs)) {
    LOG_WARN("fail to recieve 6502");
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
  discardStaleReplies(0x65, 0x03);
  if (!buildRequest(answer, 0x25, 0x03, {kSafetyRequest, d[1], d[2], d[3], d[4]}) || !send(answer)) return false;
  // An unsuccessful wait leaves the request in the frame, so the size logged
  // is then the request's own.
  bool received = receive(answer, 0x65, 0x03, kReplyTimeoutMs);
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
  discardStaleReplies(0x64, 0x02);
  if (block.size() > kMaxAnnouncement || !buildRequest(request, 0x24, 0x02, block) || !send(request)) {
    LOG_WARN("send 2402 failed");
    return -1;
  }
  Frame reply;
  if (!receive(reply, 0x64, 0x02, kAnnounceTimeoutMs)) {
    LOG_WARN("recv 6402 failed");
    return -1;
  }
  uint8_t status = 0xFF;
  return statusOf(reply, status) && status == kStatusOk ? 0 : -1;
}

int CFirmwareUpDateUtils::sendBin(const uint8_t* image, size_t length) {
  if (length > kMaxImageLength) return -1;
  size_t offset = 0;
  std::vector<uint8_t> block;
  block.reserve(6 + kChunkSize);
  while (offset < length) {
    const size_t count = std::min(kChunkSize, length - offset);
    block.clear();
    putBe32(block, static_cast<uint32_t>(offset));
    putBe16(block, static_cast<uint32_t>(count));
    block.insert(block.end(), image + offset, image + offset + count);
    Frame request;
    if (!buildRequest(request, 0x24, 0x03, block)) return -1;

    Frame reply;
    bool acknowledged = false;
    for (int attempt = 0; attempt < kChunkTries && !acknowledged; ++attempt) {
      if (!send(request)) {
        LOG_WARN(" send msg 6403 failed, retry...");
        continue;
      }
      if (!receive(reply, 0x64, 0x03, kReplyTimeoutMs)) {
        LOG_WARN(" recv msg 6403 failed, retry...");
        continue;
      }
      acknowledged = true;
    }
    if (!acknowledged) {
      LOG_WARN("retry too many times");
      return -1;
    }
    uint8_t status = 0xFF;
    if (!statusOf(reply, status) || status != kStatusOk) {
      LOG_WARN(" parse msg 6403 failed, exist");
      LOG_WARN("retry too many times");
      return -1;
    }
    offset += count;
  }
  return 0;
}

bool CFirmwareUpDateUtils::sendDigest(const std::string& digest) {
  Frame request;
  discardStaleReplies(0x64, 0x04);
  std::vector<uint8_t> text(digest.begin(), digest.end());
  if (!buildRequest(request, 0x24, 0x04, text) || !send(request)) return false;
  Frame reply;
  if (!receive(reply, 0x64, 0x04, kReplyTimeoutMs)) return false;
  uint8_t status = 0xFF;
  return statusOf(reply, status) && status == kStatusOk;
}

int CFirmwareUpDateUtils::connectDefaultSession() {
  int rc = initSessionManager();
  if (rc != 0) return rc;
  const uint32_t previous = sessionId;
  const int id = createDefaultSession();
  sessionId = static_cast<uint32_t>(id);
  // A session left behind (the link before a restart) would have the receive
  // worker reconnecting it, under the manager's lock, all through the transfer.
  if (previous != kNoSession && previous != sessionId) ::closeSession(static_cast<int>(previous));
  if (id < 0) return -1;
  for (int poll = 0; poll < kConnectPolls; ++poll) {
    platform::sleepFor(kConnectPoll);
    if (isSessionConnected(id)) return 0;
  }
  return -1;
}

void CFirmwareUpDateUtils::closeSession() {
  if (sessionId == kNoSession) return;
  ::closeSession(session());
  sessionId = kNoSession;
}
