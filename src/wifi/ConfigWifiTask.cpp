#include "wifi/ConfigWifiTask.h"

#include <string.h>

#include <algorithm>
#include <vector>

#include "app/DeviceModel.h"
#include "session/Commands.h"
#include "session/Exchange.h"
#include "session/Frame.h"
#include "session/J2534Switch.h"
#include "session/SessionSelection.h"
#include "utils/LogFacade.h"

namespace {

constexpr uint8_t kKeyMarker = 0x02;
constexpr uint8_t kStatusOk = 0;

constexpr int kConnectMs = 500;
constexpr int kReconnectMs = 5000;
// The device tries the network before it answers.
constexpr int kConfigTimeoutMs = 20000;

bool usableField(const std::string& text) {
  return !text.empty() && text.size() <= ConfigWifiTask::kMaxFieldLength;
}

bool hasControlCharacter(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b < 0x20 || b == 0x7F;
  });
}

// Overwrites a secret before its memory is given back.
void wipe(std::string& text) {
  explicit_bzero(text.data(), text.size());
  text.clear();
}

}  // namespace

std::string ConfigWifiTask::ssidProblem(const std::string& ssid) {
  if (ssid.empty()) return "the network name (SSID) is empty";
  if (ssid.size() > kMaxSsidLength) {
    return "the network name (SSID) has " + std::to_string(ssid.size()) + " bytes; a Wi-Fi network name has at most " +
           std::to_string(kMaxSsidLength);
  }
  if (hasControlCharacter(ssid)) return "the network name (SSID) holds a control character (a line break, a tab ...)";
  return {};
}

std::string ConfigWifiTask::keyProblem(const std::string& key) {
  if (key.empty()) return "the key is empty (an open network cannot be configured)";
  if (key.size() > kMaxKeyLength) {
    return "the key has " + std::to_string(key.size()) + " bytes; a Wi-Fi key has at most " +
           std::to_string(kMaxKeyLength);
  }
  if (hasControlCharacter(key)) return "the key holds a control character (a line break, a tab ...)";
  return {};
}

std::string ConfigWifiTask::paramsProblem(const std::string& ssid, const std::string& key) {
  std::string problem = ssidProblem(ssid);
  return problem.empty() ? keyProblem(key) : problem;
}

ConfigWifiTask::ConfigWifiTask(DeviceModel model) : model_(model) {}

ConfigWifiTask::~ConfigWifiTask() = default;

void ConfigWifiTask::setNotifier(ConfigWifiTaskNotifier* notifier) { notifier_.store(notifier); }

void ConfigWifiTask::report(uint32_t step, int32_t code) {
  if (ConfigWifiTaskNotifier* notifier = notifier_.load()) notifier->onConfigWifiResult(step, code);
}

void ConfigWifiTask::run() {
  std::string ssid = getParam("ssid");
  std::string key = getParam("password");
  // The key is kept no longer than this run needs it.
  wipeParam("password");
  // Checked before the device is touched: the device refuses what no Wi-Fi
  // network can have, only after a round trip.
  int result = 0;
  uint32_t step = Finish;
  if (const std::string problem = paramsProblem(ssid, key); !problem.empty()) {
    LOG_WARN("wifi parameters refused: %s", problem.c_str());
    step = ConfigRequest;
    result = -1;
  } else if ((result = createConnect(kConnectMs)) != 0) {
    step = CreateConnect;
  } else if (isQtrakModel(model_) && (result = qtrkSwithToJ2534()) != 0) {
    step = ConfigSwitchJ2534;
  } else if ((result = setWifiConfig(ssid, key)) != 0) {
    step = ConfigRequest;
  }
  wipe(key);
  report(step, result);
  session_.close();
}

int ConfigWifiTask::createConnect(int timeoutMs) {
  const int rc = session_.open(createDefaultSession, timeoutMs, OwnedSession::Replace::kOwn);
  if (session_.failure() == OwnedSession::Failure::kStart) LOG_WARN("init sessionManager failed");
  return rc;
}

bool ConfigWifiTask::exchangeStatus(const Frame& request, int timeoutMs, uint8_t& status, const char* sendText,
                                    const char* recvText) {
  Frame reply;
  bool sent = false;
  if (exchangeFrame(session_.id(), request, reply, timeoutMs, &sent) != 0) {
    LOG_WARN("%s", sent ? recvText : sendText);
    return false;
  }
  // A reply without its status byte says nothing.
  if (!readFirstByte(reply, status)) {
    LOG_WARN("%s", recvText);
    return false;
  }
  return true;
}

int ConfigWifiTask::qtrkSwithToJ2534() {
  return switchToJ2534(session_.id(), [this] { return createConnect(kReconnectMs); });
}

int ConfigWifiTask::setWifiConfig(const std::string& ssid, const std::string& key) {
  Frame request;
  if (!request.build(Frame::kSystemAddr, Frame::kHostAddr, kCmdSetWifi) ||
      CopySSidAndKeyToFrame(ssid, key, request) != 0) {
    LOG_WARN("build frame 2c12 error");
    return -1;
  }
  uint8_t status = 0;
  const bool answered = exchangeStatus(request, kConfigTimeoutMs, status, "send 2c12 failed", "recv 6c12 failed");
  request.wipe();
  if (!answered) return -1;
  if (status != kStatusOk) {
    LOG_WARN("set wifi confige failed, errCode : %d", status);
    return -1;
  }
  return 0;
}

int ConfigWifiTask::CopySSidAndKeyToFrame(const std::string& ssid, const std::string& key, Frame& frame) {
  if (!usableField(ssid) || !usableField(key)) {
    LOG_WARN("memmory error");
    return -1;
  }
  std::vector<uint8_t> payload;
  payload.reserve(ssid.size() + key.size() + 3);
  payload.push_back(static_cast<uint8_t>(ssid.size()));
  payload.insert(payload.end(), ssid.begin(), ssid.end());
  payload.push_back(kKeyMarker);
  payload.push_back(static_cast<uint8_t>(key.size()));
  payload.insert(payload.end(), key.begin(), key.end());
  const bool appended = frame.appendData(payload.data(), static_cast<unsigned>(payload.size()));
  explicit_bzero(payload.data(), payload.size());
  if (!appended) {
    LOG_WARN("build frame error");
    return -1;
  }
  // Its bytes hold the key: only its length may be logged.
  frame.markSecret();
  return 0;
}
