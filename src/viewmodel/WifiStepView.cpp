#include "viewmodel/WifiStepView.h"

#include "wifi/ConfigWifiTaskNotifier.h"

const char* wifiStepName(uint32_t step) {
  switch (step) {
    case CreateConnect: return "CreateConnect";
    case ConfigSwitchJ2534: return "ConfigSwitchJ2534";
    case ConfigRequest: return "ConfigRequest";
    case Finish: return "Finish";
    default: return "UnKnow";
  }
}

std::string wifiStepError(uint32_t step) { return std::string("ERR_WIFI_CONNECT : Failed, step : ") + wifiStepName(step); }
