#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTest>

#include <chrono>
#include <memory>

#include "UiHarness.h"
#include "VirtualDevice.h"
#include "platform/Clock.h"
#include "schedule/ScheduleManager.h"
#include "session/SessionApi.h"
#include "support/InfoWindow.h"
#include "ui/CWifiConnectWnd.h"

namespace {

using namespace std::chrono_literals;
using uitest::waitFor;

struct WifiCase {
  const char* name;
  int row;            // network chosen in the list
  const char* typed;  // SSID box
  const char* key;
  bool deviceUp;
  bool taskMissing;   // nothing holds task 5, so its start is refused
  const char* error;  // empty: the device joins and the window closes
  const char* joined;
};

void PrintTo(const WifiCase& c, std::ostream* os) { *os << c.name; }

class WifiWindow : public ::testing::TestWithParam<WifiCase> {
 protected:
  void SetUp() override {
    uitest::prepare();
    platform::setTimeScale(0.05);
    ScheduleManager::getInstance().createWorker(kWorkerDevInfo);
  }
  void TearDown() override {
    closeAllSessions();
    device_.reset();
    platform::setTimeScale(1.0);
  }
  std::unique_ptr<sim::VirtualDevice> device_;
};

TEST_P(WifiWindow, ConfiguresTheDeviceOrShowsTheFailedStep) {
  const WifiCase& c = GetParam();
  sim::LinkConfig links = scantest::linkConfig();
  // A hidden network, and one name seen on two interfaces.
  links.wlanNetworks = {{"wlan0", "KestrelLab"}, {"wlan0", "Workshop-5G"}, {"wlan0", ""}, {"wlan1", "KestrelLab"}};
  device_ = scantest::startDevice({}, links);
  ASSERT_TRUE(device_);
  if (!c.deviceUp) device_->powerOff();
  infotest::InfoWindow mainWindow;

  auto user = std::make_shared<uitest::ScriptedUser>();
  auto window = std::make_unique<CWifiConnectWnd>(DeviceModel::Brisa, user);
  ASSERT_TRUE(window->create(uitest::skinDir())) << window->skinError().toStdString();
  window->show();
  QListWidget* list = uitest::list(*window, "WifiList");
  ASSERT_TRUE(list);
  // An empty list while the interfaces look says so.
  EXPECT_TRUE(window->isControlShown("wifi_listing"));
  ASSERT_TRUE(waitFor([&] { return list->count() == 3; }, 10s)) << list->count();
  EXPECT_FALSE(window->isControlShown("wifi_listing") || window->isControlShown("wifi_none"));
  for (int row = 0; const char* name : {"KestrelLab", "Workshop-5G", "[Hidden SSID]"}) {
    EXPECT_EQ(list->item(row++)->text(), name);
  }
  if (c.taskMissing) ScheduleManager::getInstance().removeTask(kWorkerDevInfo, kTaskConfigWifi);

  list->setCurrentRow(c.row);
  if (*c.typed) QTest::keyClicks(window->control("SSID"), c.typed);
  QTest::keyClicks(window->control("KEY"), c.key);
  EXPECT_EQ(qobject_cast<QLineEdit*>(window->control("KEY"))->echoMode(), QLineEdit::Password);
  if (c.row == 0) uitest::screenshot(*window, "wifi_EN");
  QTest::mouseClick(window->control("ConnectBtn"), Qt::LeftButton);

  if (!*c.error) {
    ASSERT_TRUE(waitFor([&] { return !window->isVisible(); }, 20s)) << window->text("ERROR_TEXT").toStdString();
    EXPECT_EQ(window->result(), 1);
    EXPECT_EQ(device_->core().config().wifiSsid, c.joined);
    EXPECT_EQ(mainWindow.countText("Wifi Connect Success"), 1u);
    return;
  }
  ASSERT_TRUE(waitFor([&] { return window->text("ERROR_TEXT") == c.error; }, 20s))
      << window->text("ERROR_TEXT").toStdString();
  ASSERT_TRUE(waitFor([&] { return window->isControlEnabled("CloseBtn"); }, 20s));
  for (const char* name : {"ConnectBtn", "QueryBtn", "SSID", "KEY"}) EXPECT_TRUE(window->isControlEnabled(name)) << name;
  EXPECT_TRUE(window->isVisible());
  EXPECT_TRUE(device_->core().config().wifiSsid.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WifiWindow,
    ::testing::Values(
        WifiCase{"ListedNetwork", 0, "", "secret12", true, false, "", "KestrelLab"},
        WifiCase{"HiddenNetworkNamedByTheUser", 2, "Back-Office", "secret12", true, false, "", "Back-Office"},
        WifiCase{"HiddenNetworkUnnamed", 2, "", "secret12", true, false, "ERR_WIFI_CONNECT:  Please input ssid.", ""},
        WifiCase{"EmptyKey", 0, "", "", true, false, "ERR_WIFI_CONNECT : Failed, step : ConfigRequest", ""},
        WifiCase{"SsidTooLong", 2, "Workshop-Network-Name-Of-33-Bytes", "secret12", true, false,
                 "ERR_WIFI_CONNECT: the network name (SSID) has 33 bytes; a Wi-Fi network name has at most 32", ""},
        WifiCase{"KeyTooLong", 0, "", "k123456789k123456789k123456789k123456789k123456789k123456789k1234", true, false,
                 "ERR_WIFI_CONNECT: the key has 65 bytes; a Wi-Fi key has at most 64", ""},
        WifiCase{"DeviceAway", 0, "", "secret12", false, false, "ERR_WIFI_CONNECT : Failed, step : CreateConnect", ""},
        WifiCase{"StartRefused", 0, "", "secret12", true, true, "ERR_WIFI_CONNECT : Failed, step : CreateConnect", ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
