#include <gtest/gtest.h>

#include "viewmodel/WifiStepView.h"
#include "wifi/ConfigWifiTaskNotifier.h"

namespace {

// Scripts match these names; an unknown step keeps the system's spelling.
TEST(WifiStepView, NamesEveryFailedStep) {
  const std::pair<uint32_t, const char*> cases[] = {{CreateConnect, "CreateConnect"},
                                                    {ConfigSwitchJ2534, "ConfigSwitchJ2534"},
                                                    {ConfigRequest, "ConfigRequest"},
                                                    {Finish, "Finish"},
                                                    {Finish + 1, "UnKnow"}};
  for (auto [step, name] : cases) {
    EXPECT_EQ(wifiStepError(step), std::string("ERR_WIFI_CONNECT : Failed, step : ") + name);
  }
}

}  // namespace
