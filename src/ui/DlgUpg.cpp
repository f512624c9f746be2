#include "ui/DlgUpg.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QComboBox>
#include <QLabel>
#include <QListView>
#include <QMenu>

#include <chrono>
#include <utility>

#include "app/AppState.h"
#include "app/DeviceClaim.h"
#include "app/DeviceModel.h"
#include "app/Messages.h"
#include "app/TextNotifier.h"
#include "platform/Clock.h"
#include "platform/Locale.h"
#include "platform/UsbDevices.h"
#include "session/CurrentDevice.h"
#include "session/SessionApi.h"
#include "session/SessionSelection.h"
#include "task/DevInfoReader.h"
#include "task/DevScanner.h"
#include "task/FirmwareUpgrader.h"
#include "task/SystemUpgrader.h"
#include "ui/CWifiConnectWnd.h"
#include "ui/HistoryWnd.h"
#include "ui/DlgUpgParts.h"
#include "utils/LogFacade.h"

using namespace dlgupg;

namespace {

using namespace std::chrono_literals;

// A freshly plugged-in device needs this long before it answers.
constexpr auto kArrivalSettle = 4000ms;
// How often a read that waits for the device worker looks again.
constexpr auto kBusyRetry = 500ms;

constexpr char kLabelConnectedJp[] = "接続済み";
constexpr char kLabelDisconnectedJp[] = "未接続";

// Every settings change loads the file afresh and saves it at once, so no
// save brings back a value older than the file's.
template <class Change>
void changeSettings(Change change) {
  SettingsRecord record;
  loadSettings(record);
  change(record);
  saveSettings(record);
}

}  // namespace

DlgUpg::DlgUpg(std::shared_ptr<UiServices> services, QWidget* parent)
    : SkinWindow(parent), services_(std::move(services)) {
  arrivalTimer_.setSingleShot(true);
  connect(&arrivalTimer_, &QTimer::timeout, this, [this] {
    if (runningTask() == -1 && !probeRunning_) {
      resetDeviceView();
    } else {
      arrivalTimer_.start(platform::scaled(kBusyRetry));
    }
  });
}

DlgUpg::~DlgUpg() {
  // A task blocked on a send to this window must not hold up the removals below.
  detachMessages();
  if (monitoring_) platform::usbDevices()->stopMonitor();
  AppState::getInstance().setTarget(nullptr);
  TextNotifier::getInstance().setTarget(nullptr);
  // The tasks report to this window; another window of the process registers its own.
  ScheduleManager& scheduler = ScheduleManager::getInstance();
  // Waits for a check that runs: it reports to this window and uses the sessions.
  for (int id : {kTaskProbe, kTaskDevScanner, kTaskDevInfoReader, kTaskFirmwareUpgrader, kTaskSystemUpgrader}) {
    scheduler.removeTask(kWorkerDevInfo, id);
  }
}

bool DlgUpg::create(const QString& skinFolder) {
  locale_ = platform::userLocaleId();
  if (!loadSkin(skinFolder, q(skinFile(SkinPart::MainWindow, isQtrakBrand(), locale_)))) return false;
  setWindowTitle(QStringLiteral("Kestrel"));
  setWindowFlag(Qt::WindowMaximizeButtonHint, false);
  setWindowFlag(Qt::WindowMinimizeButtonHint, true);
  RecordedRun::setProgram("kestrel", QCoreApplication::applicationVersion().toStdString());
  // The history never stops a run; what goes wrong with it is said under the device list.
  RunHistory::setWarningSink([target = std::weak_ptr<MessageTarget>(messageTarget())](const std::string& text) {
    if (auto t = target.lock()) t->post(AppMessage{UM_SHOW_TEXT, 0, 0, "History: " + text});
  });
  initWindow();
  return true;
}

bool DlgUpg::japaneseQtrak() const { return locale_ == platform::kLocaleJapanese && isQtrakBrand(); }

void DlgUpg::initWindow() {
  LOG_INFO("================>Kestrel start<=============");
  if (japaneseQtrak()) {
    labels_ = {kLabelConnectedJp, kLabelDisconnectedJp};
  } else {
    labels_ = readLabels(locale_);
  }

  enableControl("switch_connect_type", false);
  enableControl("get_voltage", false);
  enableControl("config_wifi_main", false);
  enableControl("btn_fw_upgrade", false);
  showControl("fw_update_indicator", false);
  // The badge keeps its room, so the versions beside it do not move when it comes and goes.
  if (QWidget* badge = control("fw_update_indicator")) {
    QSizePolicy policy = badge->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    badge->setSizePolicy(policy);
  }
  showPanels();
  // A list view sizes the pop-up by its items in the style's font, so none is cut off.
  if (auto* combo = qobject_cast<QComboBox*>(control("switch_connect_type_combo"))) {
    combo->setView(new QListView(combo));
  }
  // The state icon shows the connection; it is not something to press.
  if (QWidget* icon = control("connect_state_icon")) {
    icon->setAttribute(Qt::WA_TransparentForMouseEvents);
    icon->setFocusPolicy(Qt::NoFocus);
  }

  scanType_ = -1;
  refreshSettingsFile();
  SettingsRecord settings;
  loadSettings(settings);
  selectControl("log_option", settings.LogFile != 0);

  std::weak_ptr<MessageTarget> target = messageTarget();
  monitoring_ = platform::usbDevices()->startMonitor([target](bool arrived, const platform::UsbDevice& device) {
    if (!platform::isDeviceUsbId(device)) return;
    if (auto t = target.lock()) t->post(AppMessage{UM_USB_CHANGE, arrived ? 1u : 0u, 0, {}});
  });

  if (CurrentDevice::getInstance().findBootPort()) AppState::getInstance().setScanType(kScanSerial);
  InitSchedule();
  TextNotifier::getInstance().setTarget(messageTarget());
  AppState::getInstance().setTarget(messageTarget());

  setText("J2534Version", isQtrakBrand() ? QStringLiteral("Ver4.6") : QStringLiteral("V4.6"));

  if (isUsbDevicePresent()) {
    setConnected(true);
    setLink(QStringLiteral("USB"));
    resetDeviceView();
  } else {
    setConnected(false);
    deviceView_.deviceGone();
    renderCard();
  }
}

int DlgUpg::InitSchedule() {
  ScheduleManager& scheduler = ScheduleManager::getInstance();
  // A second window of the same process finds the worker already there and uses it.
  if (int rc = scheduler.createWorker(kWorkerDevInfo); rc != 0) LOG_WARN("create SCH_DEVINFO worker failed");
  if (int rc = scheduler.addTask(kWorkerDevInfo, kTaskDevInfoReader, std::make_shared<DevInfoReader>()); rc != 0) {
    LOG_WARN("create READ_DEV_INFO task failed");
    return rc;
  }
  if (int rc = scheduler.addTask(kWorkerDevInfo, kTaskFirmwareUpgrader, std::make_shared<FirmwareUpgrader>());
      rc != 0) {
    LOG_WARN("create UPGRADE_FIRMWARE task failed");
    return rc;
  }
  if (int rc = scheduler.addTask(kWorkerDevInfo, kTaskSystemUpgrader, std::make_shared<SystemUpgrader>()); rc != 0) {
    LOG_WARN("create UPGRADE_SYSTEM task failed");
    return rc;
  }
  if (int rc = scheduler.addTask(kWorkerDevInfo, kTaskDevScanner, std::make_shared<DevScanner>()); rc != 0) {
    LOG_WARN("create SCAN_DEVICE task failed");
    return rc;
  }
  if (int rc = scheduler.addTask(kWorkerDevInfo, kTaskProbe, probes_); rc != 0) {
    LOG_WARN("create PROBE task failed");
    return rc;
  }
  if (int rc = initSessionManager(); rc != 0) {
    LOG_WARN("init SessiomManager failed");
    return rc;
  }
  return 0;
}

void DlgUpg::showMessageBox(const std::string& text) {
  messageTarget()->send(AppMessage{UM_MESSAGE_BOX, 0, 0, text});
}

void DlgUpg::setConnected(bool connected) {
  selectControl("connect_state_icon", connected);
  setText("connect_state_str", q(connected ? labels_.connected : labels_.disconnected));
  fitPillText("connect_state_str");
  if (!connected) setLink(QString());
  const QString status = connected ? QStringLiteral("ok") : QStringLiteral("warn");
  setStatus("connect_state_icon", status);
  setStatus("connect_state_str", status);
}

void DlgUpg::setLink(const QString& link) {
  setText("connect_type", link);
  fitPillText("connect_type");
}

void DlgUpg::fitPillText(const char* name) {
  // Measured in the style sheet's font, not the one the label started with.
  if (auto* label = qobject_cast<QLabel*>(control(name))) {
    label->ensurePolished();
    // With room for a bold fallback font, which the metrics of the label's own font underrate.
    const QFontMetrics metrics = label->fontMetrics();
    label->setMinimumWidth(metrics.horizontalAdvance(label->text()) + metrics.height() / 2);
  }
}

// --- notifications ---

void DlgUpg::notify(const Notification& n) {
  if (n.kind == QLatin1String("click")) {
    onClick(n.name(), n.sender);
  } else if (n.kind == QLatin1String("itemselect") && n.name() == QLatin1String("switch_connect_type_combo")) {
    onComboSelect();
  }
}

void DlgUpg::onClick(const QString& name, QWidget* sender) {
  if (name != QLatin1String("min") && name != QLatin1String("log_option")) resultShown_ = false;
  if (name == QLatin1String("min")) {
    showMinimized();
  } else if (name == QLatin1String("close")) {
    close();
  } else if (name == QLatin1String("search_wifi_btn")) {
    startScan(kScanWifi, false);
  } else if (name == QLatin1String("search_blue_btn")) {
    startScan(kScanBluetooth, false);
  } else if (name == QLatin1String("search_serial_btn")) {
    startScan(kScanSerial, false);
  } else if (name == QLatin1String("search_lan_btn")) {
    startScan(kScanLan, false);
  } else if (name == QLatin1String("btn_fw_upgrade")) {
    startUpgrade(false);
  } else if (name == QLatin1String("btn_sys_upgrade")) {
    startUpgrade(true);
  } else if (name == QLatin1String("search_usb_btn")) {
    if (!refuseProbe()) startUsbLinkCheck();
  } else if (name == QLatin1String("config_wifi_main") || name == QLatin1String("config_wifi")) {
    openWifiSetup();
  } else if (name == QLatin1String("selBtn")) {
    if (!refuseProbe()) connectToListedDevice(sender);
  } else if (name == QLatin1String("confBtn")) {
    update();
  } else if (name == QLatin1String("status_query")) {
    if (!refuseProbe()) statusQuery();
  } else if (name == QLatin1String("switch_connect_type")) {
    chooseLink(sender);
  } else if (name == QLatin1String("history_btn")) {
    openHistory();
  } else if (name == QLatin1String("log_option")) {
    uint32_t logFile = 0;
    changeSettings([&](SettingsRecord& s) { logFile = s.LogFile = s.LogFile ? 0 : 1; });
    selectControl("log_option", logFile != 0);
  } else if (name == QLatin1String("cancel")) {
    if (refuseProbe()) return;
    showPanels();
    resetDeviceView();
  } else if (name == QLatin1String("get_voltage")) {
    messageTarget()->send(AppMessage{UM_READ_VOLTAGE, 0, 0, {}});
  }
}

void DlgUpg::openWifiSetup() {
  const std::string serial = deviceView_.record().serialNumber;
  // Claimed while the form is open, as the command line claims it for its Wi-Fi change.
  std::unique_ptr<platform::DeviceLock> claim;
  std::string holder, place;
  if (claimDevice(serial, "Wi-Fi set-up of " + serial, claim, holder, &place) == platform::DeviceLock::Result::Busy) {
    services_->messageBox(busyText(holder) + ". Please wait until it ends, then try again.", "option");
    return;
  }
  CWifiConnectWnd wifi(classifyModel(serial), services_, this);
  wifi.recordRunsOf(serial, place);
  if (wifi.create(skinFolder())) {
    wifi.exec();
    if (wifi.joined()) {
      // The outcome stays on the strip, in its colour, until the user acts.
      showProgress(100, "Wifi Connect Success", false, QStringLiteral("ok"));
      resultShown_ = true;
    }
  } else {
    services_->messageBox("create window error. " + wifi.skinError().toStdString(), "option");
  }
  update();
}

void DlgUpg::openHistory() {
  HistoryWnd history(this);
  if (!history.create(skinFolder())) {
    services_->messageBox("create window error. " + history.skinError().toStdString(), "option");
    return;
  }
  history.exec();
}

void DlgUpg::showPanels() {
  // Search and card side by side in every state: neither stands alone stretched.
  showControl("version_panel", true);
  showControl("device_sacn_panel", true);
}

void DlgUpg::chooseLink(QWidget* button) {
  auto* combo = qobject_cast<QComboBox*>(control("switch_connect_type_combo"));
  if (!combo || !button) return;
  // The links open under the button that asks for them.
  QMenu menu(this);
  for (int i = 0; i < combo->count(); ++i) menu.addAction(combo->itemText(i))->setData(i);
  QAction* chosen = menu.exec(button->mapToGlobal(QPoint(0, button->height())));
  if (!chosen) return;
  {
    QSignalBlocker block(combo);
    combo->setCurrentIndex(chosen->data().toInt());
  }
  onComboSelect();
}

void DlgUpg::onComboSelect() {
  auto* combo = qobject_cast<QComboBox*>(control("switch_connect_type_combo"));
  if (!combo) return;
  const int item = combo->currentIndex();
  if (item == 0) {
    if (!refuseProbe()) startUsbLinkCheck();
  } else if (item >= 1 && item <= 3) {
    static const int kPanelScan[] = {kScanLan, kScanBluetooth, kScanSerial};
    showPanels();
    showControl("search_lan_btn", true);
    startScan(kPanelScan[item - 1], true);
  }
  QSignalBlocker block(combo);
  combo->setCurrentIndex(-1);
}

void DlgUpg::closeEvent(QCloseEvent* event) {
  const int running = runningTask();
  if (isUpgradeTask(running) &&
      services_->askYesNo("An upgrade is writing to the device. Closing now can leave the device unusable. "
                          "Close anyway?",
                          "option", UiServices::Answer::No) != UiServices::Answer::Yes) {
    event->ignore();
    return;
  }
  event->accept();
  services_->endProcess(0);
}

// Escape must not close the program.
void DlgUpg::reject() {}

// --- messages ---

void DlgUpg::handleMessage(const AppMessage& m) {
  switch (m.id) {
    case UM_SCAN_DONE: onScanDone(static_cast<int>(static_cast<intptr_t>(m.wParam))); break;
    case UM_DEVICE_INFO: onDeviceInfo(reinterpret_cast<const DeviceInfo*>(m.wParam), static_cast<int>(m.lParam)); break;
    case UM_TRANSFER_PROGRESS: onTransferProgress(m.wParam, static_cast<uint64_t>(m.lParam)); break;
    case UM_FIRMWARE_PROGRESS: onFirmwareProgress(static_cast<int>(m.wParam), static_cast<int>(m.lParam)); break;
    case UM_SYSTEM_PROGRESS:
      onSystemProgress(static_cast<int>((m.wParam >> 8) & 0xFF), static_cast<int>(m.wParam & 0xFF),
                       static_cast<int>(m.lParam));
      break;
    case UM_SHOW_TEXT:
      if (m.wParam == 0) {
        setText("error_text", q(m.text));
        // The tasks name their errors with an ERR_ prefix.
        setStatus("error_text", m.text.rfind("ERR_", 0) == 0 ? QStringLiteral("error") : QString());
      } else {
        setText("progress_info", q(m.text));
      }
      break;
    case UM_MESSAGE_BOX: services_->messageBox(m.text, "option"); break;
    case UM_READ_VOLTAGE:
      if (!refuseProbe()) startVoltageRead();
      break;
    case UM_PROBE_DONE:
      probeRunning_ = false;
      if (m.wParam == kVoltageRead) {
        enableControl("switch_connect_type", true);
        enableControl("get_voltage", true);
      } else if (m.wParam == kLinkCheckPassed) {
        showPanels();
        resetDeviceView();
      }
      break;
    case UM_USB_CHANGE: onUsbChange(m.wParam != 0); break;
    default: break;
  }
}

void DlgUpg::onUsbChange(bool arrived) {
  setConnected(arrived);
  if (!arrived) {
    arrivalTimer_.stop();
    // Even during an upgrade: the card must not show a device that is gone as present.
    deviceView_.deviceGone();
    renderCard();
    if (runningTask() == -1 && !resultShown_) showProgress(0, "", false);
    return;
  }
  // Back, but not read yet; the timer reads it once the device worker is free.
  deviceView_.startRead();
  renderCard();
  arrivalTimer_.start(platform::scaled(kArrivalSettle));
}
