#include "task/SystemUpgradeReport.h"

#include <algorithm>

#include "app/AppState.h"
#include "app/TextNotifier.h"
#include "utils/LogFacade.h"

namespace {

constexpr int kTextToError = 0;

}  // namespace

void reportSystemStep(SystemStage stage, SystemResult result, int value) {
  AppState::getInstance().systemProgress(static_cast<int>(stage), static_cast<int>(result), value);
}

void reportSystemFailure(const std::string& reason) {
  LOG_WARN("system upgrade failed: %s", reason.c_str());
  TextNotifier::getInstance().post(kSystemFailurePrefix, reason, kTextToError);
}

int encodeReturnWait(SystemReturnWait wait) {
  const int waited = std::clamp(wait.waitedSeconds, 0, 0xFFFF);
  const int limit = std::clamp(wait.limitSeconds, 0, 0x7FFF);
  return (limit << 16) | waited;
}

SystemReturnWait decodeReturnWait(int value) { return {value & 0xFFFF, (value >> 16) & 0x7FFF}; }

std::string returnWaitText(int value) {
  const SystemReturnWait wait = decodeReturnWait(value);
  return "waiting for the device to come back after the install: " + std::to_string(wait.waitedSeconds) +
         " s so far, at most " + std::to_string(wait.limitSeconds) + " s";
}
