#include "session/Exchange.h"

#include <chrono>

#include "platform/Clock.h"
#include "session/SessionApi.h"

int exchangeFrame(int sessionId, const Frame& request, Frame& reply, int timeoutMs) {
  if (sendFrame(sessionId, request) != 0) return -1;
  const uint8_t cmd = static_cast<uint8_t>(request.command() + 0x40);
  const int64_t start = platform::nowMs();
  const int64_t limit = platform::scaled(std::chrono::milliseconds(timeoutMs)).count();
  for (int64_t left = limit; left > 0; left = limit - (platform::nowMs() - start)) {
    Frame candidate;
    if (recvFrame(sessionId, candidate, cmd, request.subCommand(), static_cast<int>(left)) != 0) return -1;
    if (candidate.serial() == request.serial()) {
      reply = std::move(candidate);
      return 0;
    }
  }
  return -1;
}

bool waitSessionConnected(int sessionId, int limitMs, const std::function<bool()>& cancelled) {
  constexpr int kCheckMs = 100;
  for (int waited = 0; waited + kCheckMs <= limitMs; waited += kCheckMs) {
    if (cancelled && cancelled()) return false;
    platform::sleepFor(std::chrono::milliseconds(kCheckMs));
    if (isSessionConnected(sessionId)) return true;
  }
  return false;
}
