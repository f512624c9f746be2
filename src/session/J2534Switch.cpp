#include "session/J2534Switch.h"

#include <chrono>

#include "platform/Clock.h"
#include "session/Commands.h"
#include "session/Exchange.h"
#include "session/Frame.h"
#include "session/SessionApi.h"
#include "utils/LogFacade.h"

namespace {

using namespace std::chrono_literals;

constexpr uint8_t kModeJ2534 = 2;
constexpr uint8_t kStatusOk = 0;
constexpr int kReplyTimeoutMs = 2000;
// The switch may restart the device's link; give it time to drop first.
constexpr auto kSwitchSettle = 1000ms;

// The first data byte of the reply to command; logs sendText or recvText on
// failure (a reply without data says nothing).
bool askByte(int sessionId, DeviceCommand command, uint8_t& value, const char* sendText, const char* recvText) {
  Frame request;
  Frame reply;
  bool sent = false;
  if (!request.build(Frame::kDeviceAddr, Frame::kHostAddr, command) ||
      exchangeFrame(sessionId, request, reply, kReplyTimeoutMs, &sent) != 0) {
    LOG_WARN("%s", sent ? recvText : sendText);
    return false;
  }
  if (!readFirstByte(reply, value)) {
    LOG_WARN("%s", recvText);
    return false;
  }
  return true;
}

}  // namespace

int switchToJ2534(int sessionId, const std::function<int()>& reconnect) {
  uint8_t mode = 0;
  if (!askByte(sessionId, kCmdReadMode, mode, "send 2114 failed", "recv 6114 failed")) return -1;
  if (mode != kModeJ2534) {
    uint8_t status = 0;
    if (!askByte(sessionId, kCmdSwitchToJ2534, status, "send 2111 failed", "recv 6111 failed")) return -1;
    if (status != kStatusOk) {
      LOG_WARN("6111 has errCode : %d", status);
      return -1;
    }
  }
  platform::sleepFor(kSwitchSettle);
  if (!isSessionConnected(sessionId) && reconnect() != 0) {
    LOG_WARN("reconnect failed");
    return -1;
  }
  return 0;
}
