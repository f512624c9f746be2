#include "session/Exchange.h"

#include <algorithm>
#include <chrono>

#include "platform/Clock.h"
#include "session/SessionManager.h"

namespace {

// How often waitSessionConnected asks whether to give up; the connect itself
// wakes it at once.
constexpr auto kConnectCheck = std::chrono::milliseconds(100);

}  // namespace

int exchangeFrame(int sessionId, const Frame& request, Frame& reply, int timeoutMs, bool* sent) {
  auto manager = SessionManager::getInstance();
  const uint8_t cmd = static_cast<uint8_t>(request.command() + DeviceCommand::kReplyOffset);
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
  auto manager = SessionManager::getInstance();
  const auto check = platform::scaled(kConnectCheck);
  const int64_t start = platform::nowMs();
  const int64_t limit = platform::scaled(std::chrono::milliseconds(limitMs)).count();
  for (int64_t left = limit; left > 0; left = limit - (platform::nowMs() - start)) {
    if (cancelled && cancelled()) return false;
    if (manager->waitConnected(sessionId, std::min(check, std::chrono::milliseconds(left)))) return true;
  }
  return false;
}
