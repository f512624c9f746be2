#include "devinfo/CDeviceInfo.h"

#include <algorithm>
#include <array>

#include "app/DeviceModel.h"
#include "app/TextNotifier.h"
#include "session/Commands.h"
#include "session/Exchange.h"
#include "session/Frame.h"
#include "session/J2534Switch.h"
#include "session/OwnedSession.h"
#include "session/SessionManager.h"
#include "session/SessionSelection.h"
#include "utils/LogFacade.h"

namespace {

constexpr char kConnectErr[] = "ERR_CONNECT: ";
constexpr char kReadErr[] = "ERR_READ_DEV_VER: ";
constexpr int kTextKind = 2;

constexpr int kModeAttempts = 5;
// The device answers the mode read late while it is still starting up.
constexpr int kModeTimeoutMs = 5000;
constexpr int kReplyTimeoutMs = 2000;
constexpr int kReconnectTimeoutMs = 5000;

constexpr size_t kSerialLength = 12;

void report(const char* prefix, const char* detail) { TextNotifier::getInstance().post(prefix, detail, kTextKind); }

int asId(uint32_t sessionId) { return static_cast<int>(sessionId); }

// Sends one request and waits for its reply; false (with nothing reported)
// on either failure, telling which through sent.
bool exchange(uint32_t sessionId, uint8_t addr1, DeviceCommand command, int timeoutMs, Frame& reply, bool& sent) {
  Frame request;
  sent = false;
  if (!request.build(addr1, Frame::kHostAddr, command)) return false;
  return exchangeFrame(asId(sessionId), request, reply, timeoutMs, &sent) == 0;
}

}  // namespace

int CDeviceInfo::createConnect(int timeoutMs) {
  OwnedSession session;
  const int rc = session.open(createDefaultSession, timeoutMs, OwnedSession::Replace::kAll);
  if (session.failure() == OwnedSession::Failure::kStart) {
    LOG_WARN("init session manager err");
    report(kConnectErr, "init session manager err");
  } else if (session.failure() == OwnedSession::Failure::kCreate) {
    LOG_WARN("create config session manager err");
    report(kConnectErr, "create config session manager err");
  }
  // Connected or not, the session is the task's to close.
  sessionId = static_cast<uint32_t>(session.release());
  return rc;
}

bool CDeviceInfo::readMode(uint8_t& mode) {
  for (int attempt = 0; attempt < kModeAttempts; ++attempt) {
    Frame reply;
    bool sent = false;
    if (exchange(sessionId, Frame::kDeviceAddr, kCmdReadMode, kModeTimeoutMs, reply, sent)) {
      return readFirstByte(reply, mode);
    }
    report(kReadErr, sent ? "0x61,0x14" : "0x21,0x14");
  }
  return false;
}

bool CDeviceInfo::readSerialNumber(DeviceInfo& info) {
  Frame reply;
  bool sent = false;
  if (exchange(sessionId, Frame::kDeviceAddr, kCmdReadSerial, kReplyTimeoutMs, reply, sent)) {
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
  if (exchange(sessionId, Frame::kDeviceAddr, kCmdReadIdentity, kReplyTimeoutMs, second, sent)) {
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
  if (!exchange(sessionId, Frame::kDeviceAddr, kCmdReadVersions, kReplyTimeoutMs, reply, sent)) {
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
  if (!exchange(sessionId, Frame::kSystemAddr, kCmdReadSystemVersion, kReplyTimeoutMs, reply, sent)) {
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
  return switchToJ2534(asId(sessionId), [this] { return createConnect(kReconnectTimeoutMs); });
}

bool CDeviceInfo::readDevVer(DeviceInfo& info) {
  if (!SessionManager::getInstance()->isSessionConnected(asId(sessionId))) return false;
  info.sessionId = sessionId;
  if (!readCurFirmwareInfo(info)) {
    LOG_INFO("read firmware failed");
    return false;
  }
  const DeviceModel model = classifyModel(info.serialNumber);
  if (hasSystemUnit(model) && !readSystemVersion(info)) LOG_INFO("not find system version");
  if (isQtrakModel(model) && qtrkSwithToJ2534() != 0) {
    LOG_INFO("qtrak switch to J2534mode failed");
    return false;
  }
  return true;
}
