// The main window's device card, its connection state and the progress strip.
#include "app/DeviceClaim.h"
#include "session/CurrentDevice.h"
#include "session/SessionApi.h"
#include "session/SessionSelection.h"
#include "task/DevInfoReader.h"
#include "ui/DlgUpg.h"
#include "ui/DlgUpgParts.h"
#include "ui/HistoryWnd.h"
#include "viewmodel/HistoryView.h"

using namespace dlgupg;

void DlgUpg::resetDeviceView() {
  deviceView_.startRead();
  renderCard();
  setLink(QString());
  // Only sessions nobody uses: a running task or check keeps its link (an
  // upgrade cut off can leave the device in its boot loader), and the read
  // started below opens its own.
  if (runningTask() == -1 && !probeRunning_) closeAllSessions();
  if (!upgradeLock_ && deviceBusyElsewhere()) return;
  ScheduleManager::getInstance().runTask(kTaskDevInfoReader);
}

bool DlgUpg::deviceBusyElsewhere() {
  // Even a read would disturb another program's transfer; claims of other devices do not matter.
  std::string holder;
  if (!isDefaultDeviceClaimed(knownSerial_, holder)) return false;
  showProgress(0, busyText(holder) + ". Read it again when that has ended.", false, QStringLiteral("error"));
  return true;
}

void DlgUpg::showProgress(int value, const std::string& text, bool withPercent, const QString& status) {
  setProgress("common_progress", value);
  setText("progress_info", q(text));
  setText("progress_percent", withPercent ? QString::number(value) + QLatin1Char('%') : QString());
  for (const char* name : {"common_progress", "progress_info", "progress_percent"}) setStatus(name, status);
}

void DlgUpg::showLastUpgrade() {
  const std::string& serial = deviceView_.record().serialNumber;
  showControl("last_upgrade", !serial.empty());
  if (serial.empty()) return;
  RunFilter filter;
  filter.serialNumber = serial;
  filter.upgradesOnly = true;
  filter.limit = 1;
  const std::vector<RunRow> rows = RunHistory().list(filter);
  setText("last_upgrade", q(lastUpgradeLine(rows.empty() ? std::nullopt : std::optional<RunRow>(rows.front()),
                                            HistoryWnd::wordsOf(*this))));
}

void DlgUpg::renderCard() {
  const DeviceCard card = deviceView_.card();
  // The library row is this computer's, never stale.
  for (const char* name : {"sn", "fw_current_version", "fw_latest_version", "sys_current_version",
                           "sys_latest_version"}) {
    setStatus(name, card.stale ? QStringLiteral("stale") : QString());
  }
  showControl("note_no_device", card.note == CardNote::NoDevice);
  showControl("note_gone", card.note == CardNote::Gone);
  showControl("note_boot_loader", card.note == CardNote::BootLoader);
  setText("sn", q(card.serialNumber));
  setText("fw_current_version", q(card.firmwareCurrent));
  setText("fw_latest_version", q(card.firmwareLatest));
  setText("dll_current_version", card.libraryMissing ? text("lib_not_installed") : q(card.libraryCurrent));
  setText("dll_latest_version", q(card.libraryLatest));
  showControl("view_sys_current_version", !card.systemCurrent.empty());
  setText("sys_current_version", q(card.systemCurrent));
  showControl("view_sys_latest_version", !card.systemLatest.empty());
  setText("sys_latest_version", q(card.systemLatest));
  if (card.pictureShown) setImage("model", QString::fromUtf8(card.picture));
  if (card.modelKnown) {
    showControl("config", card.wifiSetupShown);
    showControl("config_wifi", card.wifiSetupShown);
    showControl("sys_ud", card.systemSectionShown);
    showControl("connect_status", true);
  }
  enableControl("btn_fw_upgrade", card.firmwareEnabled);
  enableControl("btn_sys_upgrade", card.systemEnabled);
  enableControl("config_wifi_main", card.wifiEnabled);
  showControl("fw_update_indicator", card.updateBadge);
  setPrimary("btn_fw_upgrade", card.firmwarePrimary);
  setPrimary("btn_sys_upgrade", card.systemPrimary);
}

void DlgUpg::applyConnectionDisplay() {
  if (deviceView_.record().serialNumber.empty()) {
    setConnected(false);
    enableControl("status_query", false);
    setLink(QString());
    return;
  }
  enableControl("status_query", true);
  enableControl("switch_connect_type", true);
  enableControl("get_voltage", true);
  setConnected(true);
  SettingsRecord settings;
  loadSettings(settings);
  const bool usb = isUsbDevicePresent();
  setLink(q(connectedLinkName(usb, usb && CurrentDevice::getInstance().findBootPort(), settings.TransferType)));
}

void DlgUpg::onDeviceInfo(const DeviceInfo* record, int phase) {
  if (!record) return;
  knownSerial_ = record->serialNumber;
  DeviceView::Library library;
  const bool deviceRead = phase == DevInfoReader::kDeviceRead;
  if (deviceRead) library = {readJ2534Name(), readFileVersion(j2534LibraryPath(), 2)};
  deviceView_.apply(*record, phase, library, deviceRead && CurrentDevice::getInstance().findBootPort());
  renderCard();
  switch (phase) {
    case DevInfoReader::kDeviceRead:
      // An upgrade's result stays readable until the user acts.
      if (!resultShown_) showProgress(0, "", false);
      showLastUpgrade();
      break;
    case DevInfoReader::kOnlineRead: break;
    case DevInfoReader::kFinished:
      applyConnectionDisplay();
      readBack(*record);
      break;
    default:
      setConnected(false);
      enableControl("status_query", false);
      setLink(QString());
      if (!resultShown_) showProgress(0, "", false);
      break;
  }
}

void DlgUpg::readBack(const DeviceInfo& record) {
  if (!readBackRow_ || record.serialNumber != readBackSerial_) return;
  const std::string now = runIsSystem_ ? systemVersionText(record.system) : firmwareVersionsText(record, false, false);
  if (now.empty()) return;
  RunHistory().setVersionAfter(readBackRow_, now);
  readBackRow_ = 0;
  showLastUpgrade();
}
