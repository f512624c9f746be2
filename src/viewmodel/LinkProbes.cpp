#include "viewmodel/LinkProbes.h"

#include <chrono>

#include "connection/ConnectionFactory.h"
#include "platform/Clock.h"
#include "session/Commands.h"
#include "session/Exchange.h"
#include "session/OwnedSession.h"
#include "session/SessionApi.h"
#include "session/SessionSelection.h"
#include "utils/LogFacade.h"

namespace {

using namespace std::chrono_literals;

constexpr int kReplyTimeoutMs = 2000;
// A new session is connected by the receive worker; a probe sent before that fails at once.
constexpr int kConnectLimitMs = 3000;
// An RFCOMM link needs a moment after connecting before the device listens.
constexpr auto kBluetoothSettle = 1000ms;
constexpr int kVoltageSendRetries = 3;
constexpr auto kVoltageRetryPause = 1000ms;
constexpr size_t kVoltageFrameMin = 23;
constexpr size_t kVoltageOffset = 19;

bool identityAnswered(int session, DeviceCommand command) {
  Frame request;
  Frame reply;
  return request.build(Frame::kDeviceAddr, Frame::kHostAddr, command) &&
         exchangeFrame(session, request, reply, kReplyTimeoutMs) == 0;
}

// A fresh session of the link type for one check, closed when the check ends.
// The checks run on the device worker, so the sessions closed first belong to
// no task that is running.
class ProbeSession {
 public:
  explicit ProbeSession(int linkType) {
    session_.open([linkType] { return createSessionByType(linkType); }, kConnectLimitMs,
                  OwnedSession::Replace::kAll);
    if (session_.failure() == OwnedSession::Failure::kConnect) {
      LOG_WARN("probe session of link %d did not connect", linkType);
      session_.close();
    }
  }
  // -1 when none could be made.
  int id() const { return session_.id(); }

 private:
  OwnedSession session_;
};

}  // namespace

std::string linkCheckName(int linkType) {
  switch (static_cast<ConnectType>(linkType)) {
    case ConnectType::Serial: return "Serial";
    case ConnectType::Lan: return "Wifi";
    case ConnectType::Bluetooth: return "Bluetooth";
    default: return "Unknown";
  }
}

bool checkLink(int linkType) {
  const auto link = static_cast<ConnectType>(linkType);
  if (link != ConnectType::Serial && link != ConnectType::Lan && link != ConnectType::Wifi &&
      link != ConnectType::Bluetooth) {
    return false;
  }
  ProbeSession session(linkType);
  if (session.id() < 0) return false;
  if (link == ConnectType::Bluetooth) platform::sleepFor(kBluetoothSettle);
  return identityAnswered(session.id(), kCmdReadSerial) || identityAnswered(session.id(), kCmdReadIdentity);
}

std::optional<float> parseSupplyVoltage(const Frame& reply) {
  const auto& bytes = reply.bytes();
  if (bytes.size() < kVoltageFrameMin) return std::nullopt;
  uint32_t millivolts = (uint32_t{bytes[kVoltageOffset]} << 16) | (uint32_t{bytes[kVoltageOffset + 1]} << 8) |
                        uint32_t{bytes[kVoltageOffset + 2]};
  return static_cast<float>(millivolts) / 1000.0f;
}

std::optional<float> readSupplyVoltage() {
  ProbeSession probe(static_cast<int>(ConnectType::Lan));
  const int session = probe.id();
  if (session < 0) return std::nullopt;
  static const uint8_t kRequest[] = {0x01, 0x10};
  Frame request;
  if (!request.build(Frame::kDeviceAddr, Frame::kHostAddr, kCmdReadSupplyVoltage, kRequest, sizeof kRequest)) return std::nullopt;
  bool sent = sendFrame(session, request) == 0;
  for (int retry = 0; !sent && retry < kVoltageSendRetries; ++retry) {
    platform::sleepFor(kVoltageRetryPause);
    sent = sendFrame(session, request) == 0;
  }
  Frame reply;
  const DeviceCommand answer = kCmdReadSupplyVoltage.reply();
  if (!sent || recvFrame(session, reply, answer.cmd, answer.sub, kReplyTimeoutMs) != 0) {
    LOG_WARN("supply voltage read failed");
    return std::nullopt;
  }
  return parseSupplyVoltage(reply);
}
