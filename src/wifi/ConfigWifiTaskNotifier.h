#pragma once
#include <cstdint>

// The steps a Wi-Fi configuration run reports its outcome at.
enum ConfigWifiStep : uint32_t {
  CreateConnect = 0,      // the session could not be opened or did not connect
  ConfigSwitchJ2534 = 1,  // the switch to J2534 mode failed
  ConfigRequest = 2,      // a parameter is unusable or the configuration request failed
  Finish = 3,             // the device accepted the configuration (code 0)
};

// Receives the outcome of a Wi-Fi configuration run, once per run, on the
// task's thread.
class ConfigWifiTaskNotifier {
 public:
  virtual ~ConfigWifiTaskNotifier() = default;
  virtual void onConfigWifiResult(uint32_t step, int32_t code) = 0;
};
