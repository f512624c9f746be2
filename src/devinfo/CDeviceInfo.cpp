#include "devinfo/CDeviceInfo.h"

#include <algorithm>
#include <array>
#include <chrono>

#include "app/DeviceModel.h"
#include "app/TextNotifier.h"
#include "platform/Clock.h"
#include "session/SessionSelection.h"
#include "session/Exchange.h"
#include "session/Frame.h"
#include "session/SessionManager.h"
#include "utils/LogFacade.h"

namespace {

using namespace std::chrono_literals;

constexpr char kConnectErr[] = "ERR_CONNECT: ";
constexpr char kReadErr[] = "ERR_READ_DEV_VER: ";
constexpr int kTextKind = 2;

constexpr int kModeAttempts = 5;
// The device answers the mode read late while it is still starting up.
constexpr int kModeTimeoutMs = 5000;
constexpr int kReplyTimeoutMs = 2000;
// A J2534 switch may restart the device's link; give it time to drop first.
constexpr auto kSwitchSettle = 1000ms;
constexpr int kReconnectTimeoutMs = 5000;

constexpr uint8_t kModeJ2534 = 2;
constexpr size_t kSerialLength = 12;

void report(const char* prefix, const char* detail) { TextNotifier::getInstance().post(prefix, detail, kTextKind); }

int asId(uint32_t sessionId) { return static_cast<int>(sessionId); }

// Sends one request and waits for its reply; false (with nothing reported)
// on either failure, telling which through sent.
bool exchange(uint32_t sessionId, uint8_t addr1, uint8_t cmd, uint8_t sub, int timeoutMs, Frame& reply, bool& sent) {
  Frame request;
  sent = false;
  if (!request.build(addr1, Frame::kHostAddr, cmd, sub)) return false;
  return exchangeFrame(asId(sessionId), request, reply, timeoutMs, &sent) == 0;
}

}  // namespace

int CDeviceInfo::createConnect(int timeoutMs) {
  auto manager = SessionManager::getInstance();
  manager->closeAllSessions();
  if (int rc = manager->init(); rc != 0) {
    LOG_WARN("init session manager err");
    report(kConnectErr, "init session manager err");
    return rc;
  }
  sessionId = static_cast<uint32_t>(createDefaultSession());
  if (sessionId == kNoSession) {
    LOG_WARN("create config session manager err");
    report(kConnectErr, "create config session manager err");
    return -1;
  }
  return waitSessionConnected(asId(sessionId), timeoutMs) ? 0 : -1;
}

bool CDeviceInfo::readMode(uint8_t& mode) {
  for (int attempt = 0; attempt < kModeAttempts; ++attempt) {
    Frame reply;
    bool sent = false;
    if (exchange(sessionId, Frame::kDeviceAddr, 0x21, 0x14, kModeTimeoutMs, reply, sent)) {
      return readFirstByte(reply, mode);
    }
    report(kReadErr, sent ? "0x61,0x14" : "0x21,0x14");
  }
  return false;
}

bool CDeviceInfo::readSerialNumber(DeviceInfo& info) {
  Frame reply;
  bool sent = false;
  if (exchange(sessionId, Frame::kDeviceAddr, 0x21, 0x33, kReplyTimeoutMs, reply, sent)) {
    std::string text;
    if (readString8(reply, text)) {
      info.serialNumber = text;
      if (text.size() == kSerialLength) return true;
    }
  } else if (!sent) {
    report(kReadErr, "0x21,0x33");
    return false;
  }

  // The older firmware only answers the second form.
  Frame second;
  if (exchange(sessionId, Frame::kDeviceAddr, 0x21, 0x03, kReplyTimeoutMs, second, sent)) {
    std::string identity;
    std::string text;
    if (readTwoStrings16(second, identity, text)) {
      info.serialNumber = text;
      if (text.size() == kSerialLength) return true;
    }
  } else if (!sent) {
    report(kReadErr, "0x21,0x03");
    return false;
  }
  report(kReadErr, "0x61,0x03");
  return false;
}

bool CDeviceInfo::readVersions(std::string& firmwareVersion, std::string& j2534Version) {
  Frame reply;
  bool sent = false;
  if (!exchange(sessionId, Frame::kDeviceAddr, 0x21, 0x05, kReplyTimeoutMs, reply, sent)) {
    report(kReadErr, sent ? "0x61,0x05" : "0x21,0x05");
    return false;
  }
  // A reply whose fields run past its data leaves the versions unknown.
  std::array<std::string, 5> fields;
  if (readFiveFields16(reply, fields)) {
    firmwareVersion = fields[1];
    j2534Version = fields[4];
  } else {
    LOG_WARN("version reply is malformed (%u data bytes)", static_cast<unsigned>(reply.payloadSize()));
  }
  return true;
}

bool CDeviceInfo::readCurFirmwareInfo(DeviceInfo& info) {
  uint8_t mode = 0;
  if (!readMode(mode)) {
    LOG_WARN("reade mode failed");
    return false;
  }
  if (!readSerialNumber(info)) return false;
  return readVersions(info.firmware.version, info.j2534Firmware.version);
}

void applySystemTexts(const std::string& first, const std::string& second, DeviceInfo& info) {
  size_t p = first.find('-');
  if (p == std::string::npos) {
    info.platform.packageName = first;
  } else {
    info.platform.packageName = first.substr(0, p);
    info.platform.version = first.substr(p + 1);
  }

  std::string head = second;
  size_t q = second.find('-');
  if (q != std::string::npos) {
    info.system.version = second.substr(q + 1);
    head = second.substr(0, q);
  }

  // The package name ends one separator before the platform name.
  size_t r = head.find(info.platform.packageName);
  if (r == std::string::npos || r == 0) {
    info.system.packageName = head;
  } else {
    info.system.packageName = head.substr(0, r - 1);
  }
}

bool CDeviceInfo::readSystemVersion(DeviceInfo& info) {
  Frame reply;
  bool sent = false;
  if (!exchange(sessionId, Frame::kSystemAddr, 0x2C, 0x0A, kReplyTimeoutMs, reply, sent)) {
    report(kReadErr, sent ? "0x6C,0x0A" : "0x2C,0x0A,0xF1,0xF8");
    return false;
  }
  std::string first;
  std::string second;
  if (!readTwoStrings8(reply, first, second)) return false;
  applySystemTexts(first, second, info);
  return true;
}

int CDeviceInfo::qtrkSwithToJ2534() {
  auto manager = SessionManager::getInstance();
  Frame reply;
  bool sent = false;
  uint8_t mode = 0;
  if (!exchange(sessionId, Frame::kDeviceAddr, 0x21, 0x14, kReplyTimeoutMs, reply, sent) ||
      !readFirstByte(reply, mode)) {
    if (sent) {
      LOG_WARN("recv 6114 failed");
    } else {
      LOG_WARN("send 2114 failed");
    }
    return -1;
  }
  if (mode != kModeJ2534) {
    Frame result;
    if (!exchange(sessionId, Frame::kDeviceAddr, 0x21, 0x11, kReplyTimeoutMs, result, sent)) {
      if (sent) {
        LOG_WARN("recv 6111 failed");
      } else {
        LOG_WARN("send 2111 failed");
      }
      return -1;
    }
    uint8_t code = 0;
    if (!readFirstByte(result, code)) {
      LOG_WARN("recv 6111 failed");
      return -1;
    }
    if (code != 0) {
      LOG_WARN("6111 has errCode : %d", code);
      return -1;
    }
  }
  platform::sleepFor(kSwitchSettle);
  if (!manager->isSessionConnected(asId(sessionId)) && createConnect(kReconnectTimeoutMs) != 0) {
    LOG_WARN("reconnect failed");
    return -1;
  }
  return 0;
}

bool CDeviceInfo::readDevVer(DeviceInfo& info) {
  if (!SessionManager::getInstance()->isSessionConnected(asId(sessionId))) return false;
  info.sessionId = sessionId;
  if (!readCurFirmwareInfo(info)) {
    LOG_INFO("read firmware failed");
    return false;
  }
  const int model = classifyModel(info.serialNumber);
  if (hasSystemUnit(model) && !readSystemVersion(info)) LOG_INFO("not find system version");
  if (isQtrakModel(model) && qtrkSwithToJ2534() != 0) {
    LOG_INFO("qtrak switch to J2534mode failed");
    return false;
  }
  return true;
}
