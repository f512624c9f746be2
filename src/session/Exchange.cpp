#include "session/Exchange.h"

#include <chrono>

#include "platform/Clock.h"
#include "session/SessionApi.h"
#include "session/SessionManager.h"

namespace {

// How often waitSessionConnected looks; short against every limit it serves.
constexpr auto kConnectCheck = std::chrono::milliseconds(100);

}  // namespace

int exchangeFrame(int sessionId, const Frame& request, Frame& reply, int timeoutMs, bool* sent) {
  auto manager = SessionManager::getInstance();
  const uint8_t cmd = static_cast<uint8_t>(request.command() + 0x40);
  const uint8_t sub = request.subCommand();
  // A reply still filed from an earlier request (late, or sent twice) must
  // not be taken for this one's; one arriving later is told apart by serial.
  manager->dropFiledFrames(sessionId, cmd, sub);
  const bool written = manager->sendFrame(sessionId, request) == 0;
  if (sent) *sent = written;
  if (!written) return -1;
  return manager->recvReply(sessionId, reply, cmd, sub, request.serial(), timeoutMs);
}

bool waitSessionConnected(int sessionId, int limitMs, const std::function<bool()>& cancelled) {
  const auto limit = std::chrono::milliseconds(limitMs);
  for (auto waited = kConnectCheck; waited <= limit; waited += kConnectCheck) {
    if (cancelled && cancelled()) return false;
    platform::sleepFor(kConnectCheck);
    if (isSessionConnected(sessionId)) return true;
  }
  return false;
}
