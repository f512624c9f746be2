#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>
#include <QTableWidget>
#include <QTimer>
#include <QTest>

#include <chrono>
#include <memory>

#include "SimPackages.h"
#include "UiHarness.h"
#include "VirtualDevice.h"
#include "WebServices.h"
#include "app/AppState.h"
#include "platform/Clock.h"
#include "platform/DeviceLock.h"
#include "platform/FakeNetworkAdapters.h"
#include "platform/Ipv4Text.h"
#include "platform/UsbDevices.h"
#include "schedule/ScheduleManager.h"
#include "session/SessionApi.h"
#include "app/RunHistory.h"
#include "ui/DlgUpg.h"
#include "ui/HistoryWnd.h"
#include "utils/Settings.h"

namespace {

using namespace std::chrono_literals;
using uitest::waitFor;

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    uitest::prepare();
    platform::setTimeScale(0.05);
    useLoopbackAdapterOnly();
  }
  void TearDown() override {
    window_.reset();
    closeAllSessions();
    device_.reset();
    platform::setNetworkAdaptersForTest(nullptr);
    platform::setTimeScale(1.0);
  }

  sim::VirtualDevice& startDevice(sim::DeviceConfig config = {}) {
    config.restartDelay = 300ms;
    device_ = scantest::startDevice(config);
    EXPECT_TRUE(device_);
    return *device_;
  }
  void startWeb(sim::WebConfig config = {}) {
    web_ = std::make_unique<sim::WebServices>(config);
    ASSERT_TRUE(web_->start());
  }

  DlgUpg& open() {
    window_ = std::make_unique<DlgUpg>(user_);
    EXPECT_TRUE(window_->create(uitest::skinDir())) << window_->skinError().toStdString();
    window_->show();
    return *window_;
  }
  // Nothing on USB: a device, if any, is only found on the LAN.
  DlgUpg& openWithoutUsb() {
    EXPECT_TRUE(platform::writeSimUsbList(scantest::processLinks().usbFile, {}));
    return open();
  }
  // The device on USB and the web services up; false unless the window read the device.
  bool openAndRead(sim::DeviceConfig device = {}, sim::WebConfig web = {}) {
    startDevice(device);
    startWeb(web);
    open();
    return waitDeviceRead();
  }
  QString text(const char* name) { return window_->text(name); }
  void click(const char* name) {
    QWidget* w = window_->control(name);
    ASSERT_TRUE(w) << name;
    QTest::mouseClick(w, Qt::LeftButton);
  }
  // The device read has ended: the upgrade buttons are decided.
  bool readDone() {
    return !text("sn").isEmpty() && window_->isControlEnabled("get_voltage") &&
           window_->control("sn")->property("state").toString() != "stale" &&
           ScheduleManager::getInstance().getRunningTask(kWorkerDevInfo) == -1;
  }
  bool waitDeviceRead() { return waitFor([&] { return readDone(); }, 30s); }
  bool waitRows(int count) {
    return waitFor([&] { return uitest::list(*window_, "connect_list")->count() == count &&
                                window_->isControlEnabled("search_lan_btn"); }, 30s);
  }

  std::shared_ptr<uitest::ScriptedUser> user_ = std::make_shared<uitest::ScriptedUser>();
  std::unique_ptr<sim::WebServices> web_;
  std::unique_ptr<sim::VirtualDevice> device_;
  std::unique_ptr<DlgUpg> window_;
};

TEST_F(MainWindowTest, StartUp_deviceAttached_showsSerialVersionsAndNumericUpdateBadge) {
  // 2.10 is newer than 2.9 only when versions compare as numbers.
  ASSERT_TRUE(openAndRead({.firmwareVersion = "V1.10", .j2534Version = "V2.9"},
                          {.latestFirmware = "V1.10", .latestJ2534 = "V2.10"}));
  EXPECT_EQ(text("sn"), "5RHM10000001");
  EXPECT_EQ(text("fw_current_version"), "V1.10_V2.9");
  EXPECT_EQ(text("fw_latest_version"), "1.10_2.10");
  EXPECT_TRUE(window_->isControlShown("fw_update_indicator"));
  EXPECT_TRUE(window_->isControlEnabled("btn_fw_upgrade"));
  EXPECT_TRUE(window_->isControlSelected("connect_state_icon"));
  EXPECT_EQ(window_->control("model")->property("image").toString(), "brisa.png");
  uitest::screenshot(*window_, "main_EN_device_read");
}

TEST_F(MainWindowTest, NoDevice_showsDisconnectedAndReadsNothing) {
  DlgUpg& window = openWithoutUsb();
  EXPECT_FALSE(window.isControlSelected("connect_state_icon"));
  EXPECT_FALSE(window.isControlEnabled("btn_fw_upgrade"));
  EXPECT_EQ(ScheduleManager::getInstance().getRunningTask(kWorkerDevInfo), -1);
  // Not a blank card: the unknown device, and what to do.
  EXPECT_TRUE(window.isControlShown("note_no_device"));
  EXPECT_EQ(window.control("model")->property("image").toString(), "unknown.png");
  uitest::screenshot(window, "main_EN_no_device");
}

// Unplugged, the card keeps what it last read, says so and offers nothing;
// plugged back in, the device is read again without a click.
TEST_F(MainWindowTest, DeviceUnpluggedAndBack_isShownGoneThenReadAgain) {
  ASSERT_TRUE(openAndRead());
  device_->powerOff();
  ASSERT_TRUE(waitFor([&] { return window_->isControlShown("note_gone"); }, 10s));
  EXPECT_EQ(text("sn"), "5RHM10000001");
  EXPECT_EQ(window_->control("fw_current_version")->property("state").toString(), "stale");
  EXPECT_FALSE(window_->isControlEnabled("btn_fw_upgrade"));
  EXPECT_FALSE(window_->isControlEnabled("btn_sys_upgrade"));
  EXPECT_FALSE(window_->isControlSelected("connect_state_icon"));
  uitest::screenshot(*window_, "main_EN_gone");
  device_->powerOn();
  ASSERT_TRUE(waitDeviceRead());
  EXPECT_FALSE(window_->isControlShown("note_gone"));
  EXPECT_TRUE(window_->isControlEnabled("btn_fw_upgrade"));
}

struct ScanCase {
  const char* name;
  std::string serial;  // what the device answers the discovery with
  int rows;
};

void PrintTo(const ScanCase& c, std::ostream* os) { *os << c.name; }

class LanScan : public MainWindowTest, public ::testing::WithParamInterface<ScanCase> {};

TEST_P(LanScan, ListsOnlyKnownPrefixesAndShowsNamesAsPlainText) {
  startDevice({.serialNumber = GetParam().serial});
  DlgUpg& window = openWithoutUsb();
  click("search_lan_btn");
  ASSERT_TRUE(waitRows(GetParam().rows));
  EXPECT_TRUE(window.isControlShown("search_serial_btn") && window.isControlShown("search_blue_btn"));
  if (GetParam().rows == 0) {
    EXPECT_EQ(text("error_text").toStdString(),
              "No device found on the LAN. Check that the device is on and on this network, then search again.");
    EXPECT_EQ(window.control("error_text")->property("state").toString(), "warn");
    uitest::screenshot(window, "main_EN_scan_nothing_found");
    return;
  }
  QListWidget* list = uitest::list(window, "connect_list");
  auto* name = list->itemWidget(list->item(0))->findChild<QLabel*>("name");
  ASSERT_TRUE(name);
  EXPECT_EQ(name->textFormat(), Qt::PlainText);
  EXPECT_EQ(name->text().toStdString(), GetParam().serial);
  uitest::screenshot(window, std::string("main_EN_scan_") + GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Names, LanScan,
                         ::testing::Values(ScanCase{"KnownPrefix", "5RHM10000001", 1},
                                           ScanCase{"Markup", "5RHMA<b>Bench</b>", 1},
                                           ScanCase{"UnknownPrefix", "ACME00000001", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// A second scan while one runs is refused and takes no button from the running one.
TEST_F(MainWindowTest, ScanRefusedThenLanRowSelected_savesTheDeviceAndChecksTheLinkByItsName) {
  startDevice();
  DlgUpg& window = openWithoutUsb();
  click("search_lan_btn");
  ASSERT_TRUE(waitFor([] { return ScheduleManager::getInstance().getRunningTask(kWorkerDevInfo) == kTaskDevScanner; }, 5s));
  click("search_wifi_btn");
  EXPECT_TRUE(user_->saw("there is a task running, id 1"));
  ASSERT_TRUE(waitRows(1));
  EXPECT_TRUE(window.isControlEnabled("search_wifi_btn"));
  QListWidget* list = uitest::list(window, "connect_list");
  QTest::mouseClick(list->itemWidget(list->item(0))->findChild<QAbstractButton*>("selBtn"), Qt::LeftButton);
  ASSERT_TRUE(waitFor([&] { return user_->boxes.size() == 2; }, 20s));
  EXPECT_EQ(user_->boxes.back(), "Switching Wifi success.");
  SettingsRecord settings;
  loadSettings(settings);
  EXPECT_EQ(settings.TransferType, 1u);
  EXPECT_EQ(platform::ipv4Text(settings.Addr), "127.0.0.1");
  EXPECT_EQ(settings.Name, "5RHM10000001");
  // A passed check goes back to the device card and reads the device.
  ASSERT_TRUE(waitDeviceRead());
  EXPECT_TRUE(window.isControlShown("version_panel") && window.isControlShown("device_sacn_panel"));
}

TEST_F(MainWindowTest, RowBeyond256_savesItsOwnDevice) {
  DlgUpg& window = openWithoutUsb();
  J2534DeviceList found;
  for (int i = 0; i < 300; ++i) found.push_back({"5RHM1" + std::to_string(1000000 + i), 0x0100007F, 0, "", 1});
  AppState::getInstance().scanDone(0, found);
  QListWidget* list = uitest::list(window, "connect_list");
  ASSERT_EQ(list->count(), 300);
  QTest::mouseClick(list->itemWidget(list->item(257))->findChild<QAbstractButton*>("selBtn"), Qt::LeftButton);
  SettingsRecord settings;
  loadSettings(settings);
  EXPECT_EQ(settings.Name, found[257].name);
  // The link check of the chosen row ends with its message.
  EXPECT_TRUE(waitFor([&] { return !user_->boxes.empty(); }, 20s));
}

TEST_F(MainWindowTest, LogOption_keepsWhatWasSavedMeanwhile) {
  openWithoutUsb();
  SettingsRecord outside;
  loadSettings(outside);
  outside.Name = "chosen elsewhere";
  outside.LogFile = 1;
  saveSettings(outside);
  click("log_option");
  SettingsRecord after;
  loadSettings(after);
  EXPECT_EQ(after.Name, "chosen elsewhere");
  EXPECT_EQ(after.LogFile, 0u);
  EXPECT_FALSE(window_->isControlSelected("log_option"));
}

TEST_F(MainWindowTest, SystemRunGivingUp_endsTheRunOnScreen) {
  DlgUpg& window = openWithoutUsb();
  const std::pair<int, const char*> cases[] = {
      {1, "upgrade failed, please retry"}, {4, "transfer pkg failed"}, {5, "upgrade failed, please retry"}};
  for (auto [stage, expected] : cases) {
    AppState::getInstance().systemProgress(stage, 2, 0);
    EXPECT_EQ(text("progress_info"), expected) << stage;
    EXPECT_EQ(text("progress_percent"), "0%") << stage;
    EXPECT_EQ(window.control("common_progress")->property("state").toString(), "error") << stage;
  }
}

TEST_F(MainWindowTest, Voltage_showsTheReadingOrThatItFailed) {
  ASSERT_TRUE(openAndRead({.supplyMillivolts = 12345}));
  for (bool silent : {false, true}) {
    if (silent) device_->setSilent(0x40, 0x04);
    click("get_voltage");
    EXPECT_FALSE(window_->isControlEnabled("get_voltage"));
    ASSERT_TRUE(waitFor([&] { return window_->isControlEnabled("get_voltage"); }, 20s));
    EXPECT_EQ(text("progress_info"), silent ? "votage: read failed, please retry" : "votage: 12.345 V");
  }
}

// One thing at a time per device: an upgrade is refused while a check waits
// or runs, and neither a check nor a new read cuts the session of a read
// that is still running.
TEST_F(MainWindowTest, ProbeOrReadRunning_keepsItsSessionAndHoldsTheUpgradeBack) {
  using sim::FaultKind;
  ASSERT_TRUE(openAndRead({.supplyMillivolts = 12345}));
  device_->addFault({.kind = FaultKind::LateReply, .command = 0x40, .subCommand = 0x04,
                     .when = sim::Occurrence::nth(1), .delay = 1500ms});
  click("get_voltage");
  click("btn_fw_upgrade");
  EXPECT_TRUE(user_->saw("Another task is running, please try again later, running taskId:6"));
  ASSERT_TRUE(waitFor([&] { return window_->isControlEnabled("get_voltage"); }, 20s));
  EXPECT_EQ(text("progress_info"), "votage: 12.345 V");
  EXPECT_EQ(device_->core().requestCount(0x24, 0x07) + device_->core().requestCount(0x25, 0x05), 0u);

  // "cancel" while the mode read waits for its late answer.
  device_->addFault({.kind = FaultKind::LateReply, .command = 0x21, .subCommand = 0x14,
                     .when = sim::Occurrence::every(), .delay = 4000ms});
  const unsigned modeReads = device_->core().requestCount(0x21, 0x14);
  click("status_query");
  ASSERT_TRUE(waitFor([&] { return device_->core().requestCount(0x21, 0x14) > modeReads; }, 10s));
  click("cancel");
  ASSERT_TRUE(waitDeviceRead());
  EXPECT_EQ(text("sn"), "5RHM10000001");
  EXPECT_EQ(text("error_text"), "");
}

TEST_F(MainWindowTest, FirmwareUpgrade_refusesProbesAndCloseThenEndsWithTheImages) {
  ASSERT_TRUE(openAndRead());
  click("btn_fw_upgrade");
  ASSERT_TRUE(waitFor([&] { return text("progress_info") == "upgrade download: prepare Ok, start burn firmware"; }, 30s))
      << text("progress_info").toStdString() << (user_->boxes.empty() ? "" : user_->boxes.back());
  uitest::screenshot(*window_, "main_EN_upgrading");
  const size_t sessionsCut = device_->core().requestLog().size();
  click("get_voltage");
  click("status_query");
  click("close");
  EXPECT_TRUE(user_->saw("Another task is running, please try again later, running taskId:3"));
  EXPECT_EQ(user_->questions.size(), 1u);  // answered No: the program stays
  EXPECT_TRUE(user_->exitCodes.empty());
  ASSERT_TRUE(waitFor([&] { return text("progress_percent") == "100%"; }, 60s)) << text("progress_info").toStdString();
  EXPECT_EQ(text("progress_info"), "Success! Please restart and reinsert the product.");
  // The old versions are not offered again: the card waits for the device to say what it runs now.
  EXPECT_FALSE(window_->isControlEnabled("btn_fw_upgrade"));
  EXPECT_EQ(window_->control("fw_current_version")->property("state").toString(), "stale");
  // Read again by itself: the new images, from the boot loader that waits for the restart.
  ASSERT_TRUE(waitFor([&] { return readDone() && window_->isControlShown("note_boot_loader"); }, 30s));
  EXPECT_EQ(text("progress_info"), "Success! Please restart and reinsert the product.");
  EXPECT_EQ(text("fw_current_version").remove('V'), text("fw_latest_version"));
  EXPECT_FALSE(window_->isControlShown("fw_update_indicator"));
  EXPECT_EQ(window_->control("btn_fw_upgrade")->property("primary").toString(), "false");
  uitest::screenshot(*window_, "main_EN_done_boot_loader");
  // Restarted by the user: read again by itself once it is back.
  device_->restart(sim::DeviceMode::Normal);
  ASSERT_TRUE(waitFor([&] { return readDone() && !window_->isControlShown("note_boot_loader"); }, 30s));
  EXPECT_EQ(text("progress_info"), "Success! Please restart and reinsert the product.");
  EXPECT_GT(device_->core().requestLog().size(), sessionsCut);
  EXPECT_EQ(device_->core().image(sim::ImageSlot::Firmware).md5, sim::md5Hex(web_->firmwareImage("1", "5RHM10000001")));
  EXPECT_EQ(device_->core().image(sim::ImageSlot::J2534).md5, sim::md5Hex(web_->firmwareImage("3", "5RHM10000001")));
  uitest::screenshot(*window_, "main_EN_done");
}

// Nothing newer online: the window sends nothing unless the user confirms.
TEST_F(MainWindowTest, FirmwareUpToDate_isSentOnlyAfterTheUserConfirms) {
  ASSERT_TRUE(openAndRead({.firmwareVersion = "V1.20", .j2534Version = "V2.30"}));
  click("btn_fw_upgrade");
  ASSERT_EQ(user_->questions.size(), 1u);
  EXPECT_EQ(user_->questions[0], "Nothing newer is offered for this device (firmware: up to date, J2534 firmware: "
                                 "newer than online). Upgrade it anyway with what is offered online?");
  EXPECT_FALSE(waitFor([] { return ScheduleManager::getInstance().getRunningTask(kWorkerDevInfo) != -1; }, 500ms));
  EXPECT_EQ(device_->core().requestCount(0x24, 0x07) + device_->core().requestCount(0x25, 0x05), 0u);

  user_->answer = uitest::ScriptedUser::Answer::Yes;
  click("btn_fw_upgrade");
  ASSERT_TRUE(waitFor([&] { return text("progress_info") == "Success! Please restart and reinsert the product."; },
                      60s)) << text("progress_info").toStdString();
  EXPECT_EQ(device_->core().image(sim::ImageSlot::J2534).md5, sim::md5Hex(web_->firmwareImage("3", "5RHM10000001")));
}

TEST_F(MainWindowTest, FirmwareTransferFails_showsTheErrorAndGivesTheButtonsBack) {
  ASSERT_TRUE(openAndRead());
  device_->setSilent(0x24, 0x03);
  click("btn_fw_upgrade");
  ASSERT_TRUE(waitFor([&] { return text("progress_info") == "upgrade download: burn firmware failed, please retry"; },
                      60s)) << text("progress_info").toStdString();
  EXPECT_EQ(text("progress_percent"), "0%");
  EXPECT_EQ(window_->control("progress_info")->property("state").toString(), "error");
  ASSERT_TRUE(waitDeviceRead());
  // The failure stays readable through the read that follows it.
  EXPECT_EQ(text("progress_info"), "upgrade download: burn firmware failed, please retry");
  EXPECT_TRUE(window_->isControlEnabled("btn_fw_upgrade"));
  uitest::screenshot(*window_, "main_EN_failed");
}

// The result stays on the strip, in its colour, through the read that follows
// it, and the card shows the system the device now runs.
TEST_F(MainWindowTest, SystemUpgrade_keepsItsResultAndShowsTheNewSystem) {
  ASSERT_TRUE(openAndRead());
  const QString before = text("sys_current_version");
  click("btn_sys_upgrade");
  ASSERT_TRUE(waitFor([&] { return text("progress_info") == "upgrade success, start read device info."; }, 60s))
      << text("progress_info").toStdString();
  ASSERT_TRUE(waitFor([&] { return readDone() && text("sys_current_version") != before; }, 30s))
      << text("sys_current_version").toStdString();
  EXPECT_EQ(text("progress_info"), "upgrade success, start read device info.");
  EXPECT_EQ(window_->control("progress_info")->property("state").toString(), "ok");
  EXPECT_EQ(text("sys_current_version").toStdString(), device_->core().config().systemVersion);
  uitest::screenshot(*window_, "main_EN_system_done");
}

TEST_F(MainWindowTest, SystemUpgradeWithoutOnlinePackage_answeredNo_endsWithoutTouchingTheDevice) {
  ASSERT_TRUE(openAndRead({}, {.systemPackageOnline = false}));
  ASSERT_TRUE(window_->isControlEnabled("btn_sys_upgrade"));
  click("btn_sys_upgrade");
  ASSERT_TRUE(waitFor([&] { return !user_->questions.empty(); }, 30s)) << text("progress_info").toStdString();
  EXPECT_NE(user_->questions[0].find("No upgrade package is available online."), std::string::npos);
  // Without "nofile" the task would keep waiting for a package until its choice time runs out.
  EXPECT_TRUE(waitFor([] { return ScheduleManager::getInstance().getRunningTask(kWorkerDevInfo) != kTaskSystemUpgrader; },
                      5s));
  EXPECT_EQ(device_->core().config().systemVersion, "205");
  EXPECT_TRUE(waitDeviceRead());
}

// Another program (the command line) upgrading the device: the window neither
// reads it nor starts an upgrade of its own, and says why.
// An upgrade from the window is recorded with what the read after it found;
// the card names it, and the History window, opened from its button, lists
// it with the runs of other programs.
TEST_F(MainWindowTest, FirmwareUpgrade_isOnTheCardAndInTheHistoryWindow) {
  RunRow other;
  other.serialNumber = "5RHM10000002";
  other.what = runwhat::kSystem;
  other.versionBefore = "V3.10 (205)";
  ASSERT_TRUE(RunHistory().begin(other));
  other.result = RunResult::Failed;
  other.step = "install";
  other.message = "the device did not confirm the install";
  ASSERT_TRUE(RunHistory().finish(other));
  ASSERT_TRUE(openAndRead());
  EXPECT_EQ(text("last_upgrade"), "No upgrade recorded");

  click("btn_fw_upgrade");
  const QString done = ", firmware V1.20, J2534 V2.20, succeeded";
  ASSERT_TRUE(waitFor([&] { return readDone() && text("last_upgrade").endsWith(done); }, 60s))
      << text("last_upgrade").toStdString();
  EXPECT_TRUE(text("last_upgrade").startsWith("Last upgrade: 20")) << text("last_upgrade").toStdString();
  uitest::screenshot(*window_, "main_EN_last_upgrade");

  std::vector<QStringList> rows;
  QTimer::singleShot(0, [&] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* history = dynamic_cast<HistoryWnd*>(w);
      if (!history || !history->isVisible()) continue;
      auto* table = qobject_cast<QTableWidget*>(history->control("history_table"));
      for (int r = 0; table && r < table->rowCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < table->columnCount(); ++c) cells << (table->item(r, c) ? table->item(r, c)->text() : "");
        rows.push_back(cells);
      }
      history->resize(1000, 360);
      uitest::screenshot(*history, "history_EN");
      QTest::mouseClick(history->control("CloseBtn"), Qt::LeftButton);
    }
  });
  click("history_btn");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].mid(4, 4).join('|'), "firmware|V1.10, J2534 V2.10|V1.20, J2534 V2.20|succeeded");
  EXPECT_TRUE(rows[0][3].startsWith("usb 127.0.0.1:")) << rows[0][3].toStdString();
  EXPECT_EQ(rows[1][7], "failed (install): the device did not confirm the install");
}

TEST_F(MainWindowTest, DeviceClaimedByAnotherProgram_isNeitherReadNorUpgraded) {
  using platform::DeviceLock;
  startDevice();
  startWeb();
  std::unique_ptr<DeviceLock> other;
  std::string holder;
  const std::string serial = "5RHM10000001";
  ASSERT_EQ(DeviceLock::tryAcquire(serial, "firmware upgrade of " + serial, other, holder), DeviceLock::Result::Acquired);
  open();
  const std::string busy = "The device is busy: firmware upgrade of " + serial + " by process ";
  EXPECT_NE(text("progress_info").toStdString().find(busy), std::string::npos) << text("progress_info").toStdString();
  EXPECT_FALSE(waitFor([&] { return !device_->core().requestLog().empty(); }, 1s));
  uitest::screenshot(*window_, "main_EN_busy_elsewhere");

  other.reset();
  window_.reset();
  open();
  ASSERT_TRUE(waitDeviceRead());
  ASSERT_EQ(DeviceLock::tryAcquire(serial, "firmware upgrade of " + serial, other, holder), DeviceLock::Result::Acquired);
  click("btn_fw_upgrade");
  ASSERT_FALSE(user_->boxes.empty());
  EXPECT_NE(user_->boxes.back().find(busy), std::string::npos) << user_->boxes.back();
  EXPECT_FALSE(waitFor(
      [&] { return device_->core().requestCount(0x24, 0x07) + device_->core().requestCount(0x25, 0x05) > 0; }, 1s));
  EXPECT_TRUE(window_->isControlEnabled("btn_fw_upgrade"));
  const size_t boxes = user_->boxes.size();
  click("config_wifi_main");
  ASSERT_EQ(user_->boxes.size(), boxes + 1);
  EXPECT_NE(user_->boxes.back().find(busy), std::string::npos) << user_->boxes.back();
}

}  // namespace
