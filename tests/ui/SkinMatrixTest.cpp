#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "DeviceCore.h"
#include "UiHarness.h"
#include "app/AppState.h"
#include "platform/UsbDevices.h"
#include "platform/WlanClient.h"
#include "ui/CWifiConnectWnd.h"
#include "ui/DlgUpg.h"
#include "ui/HistoryWnd.h"
#include "app/RunHistory.h"

#include <QTableWidget>

namespace {

struct SkinCase {
  const char* name;
  bool qtrak;
  const char* locale;
};

void PrintTo(const SkinCase& c, std::ostream* os) { *os << c.name; }

// Controls the windows' code relies on; a skin without one loses a function.
const char* const kMainControls[] = {
    "min", "close", "switch_connect_type", "switch_connect_type_combo", "get_voltage", "status_query",
    "config_wifi_main", "btn_fw_upgrade", "btn_sys_upgrade", "search_lan_btn", "search_usb_btn", "connect_list",
    "error_text", "progress_info", "progress_percent", "common_progress", "connect_state_icon",
    "connect_state_str", "connect_type", "log_option", "model", "fw_update_indicator", "version_panel",
    "device_sacn_panel", "sn", "fw_current_version", "fw_latest_version", "dll_current_version",
    "dll_latest_version", "sys_current_version", "sys_latest_version"};
const char* const kWifiControls[] = {"WifiList", "KEY", "SSID", "ConnectBtn", "CloseBtn", "QueryBtn", "ERROR_TEXT"};

class SkinMatrix : public ::testing::TestWithParam<SkinCase> {
 protected:
  void SetUp() override {
    uitest::prepare(GetParam().qtrak, GetParam().locale);
    ASSERT_TRUE(platform::writeSimUsbList(scantest::processLinks().usbFile, {}));
    ASSERT_TRUE(platform::writeSimWlanList(scantest::processLinks().wlanFile,
                                           {{"wlan0", "KestrelLab"}, {"wlan0", "Workshop-5G"}}));
  }
};

// Renders every state of the main window and the Wi-Fi window from the
// notifications the tasks send, for a person to look at.
TEST_P(SkinMatrix, EveryStateRendersWithEveryControl) {
  const std::string prefix = std::string(GetParam().qtrak ? "qtrak_" : "kestrel_") + GetParam().name;
  auto user = std::make_shared<uitest::ScriptedUser>();
  {
    DlgUpg window(user);
    ASSERT_TRUE(window.create(uitest::skinDir())) << window.skinError().toStdString();
    window.resize(1000, 680);
    window.show();
    for (const char* name : kMainControls) EXPECT_TRUE(window.control(name)) << name;
    uitest::screenshot(window, prefix + "_1_no_device");

    DeviceInfo info;
    info.serialNumber = sim::sampleSerial(GetParam().qtrak ? 4 : 0, true);
    info.firmware.version = "V1.10";
    info.j2534Firmware.version = "V2.9";
    info.system.version = "205";
    AppState& state = AppState::getInstance();
    state.deviceInfoPhase(info, 0);
    info.firmware.latestVersion = "V1.20";
    info.j2534Firmware.latestVersion = "V2.10";
    info.system.latestVersion = "206";
    state.deviceInfoPhase(info, 1);
    state.deviceInfoPhase(info, 2);
    EXPECT_TRUE(window.isControlShown("fw_update_indicator"));
    uitest::screenshot(window, prefix + "_2_device_read");
    state.firmwareProgress(0, 5);
    uitest::screenshot(window, prefix + "_3_upgrading");
    state.firmwareProgress(1, 7);
    uitest::screenshot(window, prefix + "_4_done");
    state.firmwareProgress(0, 8);
    uitest::screenshot(window, prefix + "_5_failed");
    // The read after the upgrade finds the device gone: its last values, marked.
    state.deviceInfoPhase(DeviceInfo(), 3);
    EXPECT_TRUE(window.isControlShown("note_gone"));
    uitest::screenshot(window, prefix + "_7_gone");
    state.setScanType(1);
    state.scanDone(0, {});
    EXPECT_FALSE(window.text("error_text").isEmpty());
    uitest::screenshot(window, prefix + "_8_nothing_found");
  }
  CWifiConnectWnd wifi(DeviceModel::Brisa, user);
  ASSERT_TRUE(wifi.create(uitest::skinDir())) << wifi.skinError().toStdString();
  wifi.show();
  for (const char* name : kWifiControls) EXPECT_TRUE(wifi.control(name)) << name;
  // A screenshot of an empty list shows nothing of the list's design.
  ASSERT_TRUE(uitest::waitFor(
      [&] { return uitest::list(wifi, "WifiList") && uitest::list(wifi, "WifiList")->count() == 2; },
      std::chrono::seconds(10)));
  uitest::screenshot(wifi, prefix + "_6_wifi");

  for (RunResult result : {RunResult::Succeeded, RunResult::Failed, RunResult::Running}) {
    RunRow row;
    row.serialNumber = sim::sampleSerial(GetParam().qtrak ? 4 : 0, true);
    row.what = result == RunResult::Running ? runwhat::kSystem : runwhat::kFirmware;
    row.versionBefore = "V1.10";
    ASSERT_TRUE(RunHistory().begin(row));
    row.result = result;
    row.versionAfter = result == RunResult::Succeeded ? "V1.20" : "V1.10";
    if (result != RunResult::Running) {
      ASSERT_TRUE(RunHistory().finish(row));
    }
  }
  HistoryWnd history;
  ASSERT_TRUE(history.create(uitest::skinDir())) << history.skinError().toStdString();
  history.resize(960, 360);
  history.show();
  auto* table = qobject_cast<QTableWidget*>(history.control("history_table"));
  ASSERT_TRUE(table);
  EXPECT_EQ(table->rowCount(), 3);
  uitest::screenshot(history, prefix + "_9_history");
}

INSTANTIATE_TEST_SUITE_P(Skins, SkinMatrix,
                         ::testing::Values(SkinCase{"EN", false, "en_US.UTF-8"}, SkinCase{"CN", false, "zh_CN.UTF-8"},
                                           SkinCase{"JP", false, "ja_JP.UTF-8"}, SkinCase{"EN", true, "en_US.UTF-8"},
                                           SkinCase{"CN", true, "zh_CN.UTF-8"}, SkinCase{"JP", true, "ja_JP.UTF-8"}),
                         [](const auto& info) {
                           return std::string(info.param.qtrak ? "Qtrak" : "Kestrel") + info.param.name;
                         });

}  // namespace
