#pragma once
#include "app/DeviceModel.h"
#include <atomic>
#include <cstddef>
#include <string>

#include "schedule/Task.h"
#include "session/OwnedSession.h"
#include "wifi/ConfigWifiTaskNotifier.h"

class Frame;

// The Wi-Fi configuration task (task 5 on worker 0): tells the device which
// network to join ("ssid") with which key ("password"). A Q-TRAK device
// (model 4 or 5) is switched into J2534 mode first. The outcome goes to the
// notifier as (ConfigWifiStep, code). The key never reaches a log, and the
// task forgets it when a run ends.
class ConfigWifiTask : public Task {
 public:
  // The length byte of each field counts at most this many bytes.
  static constexpr size_t kMaxFieldLength = 255;
  // What any Wi-Fi network can have; the device refuses more.
  static constexpr size_t kMaxSsidLength = 32;
  static constexpr size_t kMaxKeyLength = 64;

  // Why the network name or key cannot be sent, in words for the user; empty
  // when both can. Checked before any frame by the front ends and the task.
  static std::string paramsProblem(const std::string& ssid, const std::string& key);
  static std::string ssidProblem(const std::string& ssid);
  static std::string keyProblem(const std::string& key);

  explicit ConfigWifiTask(DeviceModel model);
  ~ConfigWifiTask() override;

  // Not owned; set before the task is started.
  void setNotifier(ConfigWifiTaskNotifier* notifier);

  void run() override;

  // Opens the default session and waits up to timeoutMs for it. 0, -1, or
  // the session manager's non-zero start result.
  int createConnect(int timeoutMs);
  int qtrkSwithToJ2534();
  int setWifiConfig(const std::string& ssid, const std::string& key);
  // Appends the configuration payload (SSID length, SSID, 0x02, key length,
  // key) to a built frame. -1 when a field is empty or too long for its
  // length byte, or the frame cannot take the data.
  static int CopySSidAndKeyToFrame(const std::string& ssid, const std::string& key, Frame& frame);

 private:
  void report(uint32_t step, int32_t code);
  // Exchanges request for its reply and reads the reply's first data byte;
  // logs sendText or recvText on failure.
  bool exchangeStatus(const Frame& request, int timeoutMs, uint8_t& status, const char* sendText,
                      const char* recvText);

  OwnedSession session_;  // used by the run's thread only
  const DeviceModel model_;
  std::atomic<ConfigWifiTaskNotifier*> notifier_{nullptr};
};
