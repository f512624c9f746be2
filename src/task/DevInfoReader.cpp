#include "task/DevInfoReader.h"

#include <chrono>
#include <thread>

#include "app/AppState.h"
#include "platform/Clock.h"
#include "devinfo/CDeviceInfo.h"
#include "session/Frame.h"
#include "session/SessionManager.h"
#include "utils/LogFacade.h"

namespace {

using namespace std::chrono_literals;

constexpr int kConnectTimeoutMs = 3000;
// Leaves the device a moment after the session closes before the next task
// opens one.
constexpr auto kClosingPause = 1000ms;

}  // namespace

DevInfoReader::DevInfoReader() { LOG_INFO("create devInfo"); }

DevInfoReader::~DevInfoReader() { LOG_INFO("release devInfo"); }

void DevInfoReader::run() {
  AppState& state = AppState::getInstance();
  CDeviceInfo device;
  info_.reset();
  if (device.createConnect(kConnectTimeoutMs) != 0) {
    state.deviceInfoPhase(info_, kNoConnection);
    return;
  }
  // The read's first request carries serial 0.
  Frame::setSerial(255);
  device.readDevVer(info_);
  state.deviceInfoPhase(info_, kDeviceRead);

  const int session = static_cast<int>(device.sessionId);
  if (!info_.serialNumber.empty()) {
    std::thread online([this, &state, session] {
      CDeviceInfo query(static_cast<uint32_t>(session));
      query.requestDevOnlineVer(info_);
      state.deviceInfoPhase(info_, kOnlineRead);
      state.deviceInfoPhase(info_, kFinished);
      SessionManager::getInstance()->closeSession(session);
    });
    online.join();
  }
  // The record an upgrade started next works from, whoever shows it.
  state.setDeviceInfo(info_);
  // The window also needs phase 2 when no online query ran.
  state.deviceInfoPhase(info_, kFinished);
  SessionManager::getInstance()->closeSession(session);
  platform::sleepFor(kClosingPause);
}
