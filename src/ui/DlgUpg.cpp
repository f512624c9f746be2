#include "ui/DlgUpg.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>

#include <chrono>
#include <cstdio>

#include "app/AppState.h"
#include "app/DeviceClaim.h"
#include "app/DeviceModel.h"
#include "app/Messages.h"
#include "app/TextNotifier.h"
#include "app/VersionRule.h"
#include "platform/Clock.h"
#include "platform/Locale.h"
#include "platform/UsbDevices.h"
#include "schedule/ScheduleManager.h"
#include "session/CurrentDevice.h"
#include "session/SessionApi.h"
#include "session/SessionSelection.h"
#include "task/DevInfoReader.h"
#include "task/DevScanner.h"
#include "task/FirmwareUpgrader.h"
#include "task/SystemUpgrader.h"
#include "ui/CWifiConnectWnd.h"
#include "viewmodel/FirmwareProgressView.h"
#include "viewmodel/LinkProbes.h"
#include "viewmodel/ListedDevices.h"
#include "viewmodel/SystemProgressView.h"
#include "ui/VersionText.h"
#include "utils/LogFacade.h"

namespace {

using namespace std::chrono_literals;

// A freshly plugged-in device needs this long before it answers.
constexpr auto kArrivalSettle = 4000ms;

constexpr int kTextError = 0;
constexpr int kTextProgress = 2;

std::string busyText(const std::string& holder) { return "The device is busy: " + holder; }

constexpr char kRefusedUpgrade[] = "Another task is running, please try again later, running taskId:";
constexpr char kInProgress[] = "Function in progress, please wait.";
constexpr char kWaitJp[] = "しばらくお待ちください。";
constexpr char kChecking[] = "Checking connection status,please wait";
constexpr char kCheckingJp[] = "接続を確認します。しばらくお待ちください。";
constexpr char kLabelConnectedJp[] = "接続済み";
constexpr char kLabelDisconnectedJp[] = "未接続";
constexpr char kSingleImageRegistration[] = "ZELQ7";

// Devices of these vendor and product ids announce a plug-in or removal.
constexpr std::pair<uint16_t, uint16_t> kWatchedUsbIds[] = {{0x045B, 0x1127}, {0x0502, 0x3210}, {0x0000, 0x0002}};

enum : int { kScanSerial = 0, kScanLan = 1, kScanUsb = 2, kScanWifi = 3, kScanBluetooth = 4 };

QString q(const std::string& text) { return QString::fromStdString(text); }

// The progress bar's style for a run's state.
QString statusName(ProgressState state) {
  switch (state) {
    case ProgressState::Failed: return QStringLiteral("error");
    case ProgressState::Succeeded: return QStringLiteral("ok");
    case ProgressState::Running: break;
  }
  return {};
}

const char* scanButton(int scanType) {
  switch (scanType) {
    case kScanSerial: return "search_serial_btn";
    case kScanLan: return "search_lan_btn";
    case kScanWifi: return "search_wifi_btn";
    case kScanBluetooth: return "search_blue_btn";
    default: return "";
  }
}

const char* rowLinkName(uint32_t connectType) {
  static const char* const kNames[] = {"Serial", "WiFi", "USB", "WIFI", "BlueTooth"};
  return connectType < 5 ? kNames[connectType] : "";
}

bool isUpgradeTask(int taskId) { return taskId == kTaskFirmwareUpgrader || taskId == kTaskSystemUpgrader; }

int runningTask() { return ScheduleManager::getInstance().getRunningTask(kWorkerDevInfo); }


// Every settings change loads the file afresh and saves it at once, so no
// save brings back a value older than the file's.
template <class Change>
void changeSettings(Change change) {
  SettingsRecord record;
  loadSettings(record);
  change(record);
  saveSettings(record);
}

const char* modelPicture(const std::string& serialNumber) {
  if (serialNumber.empty()) return "";
  switch (classifyModel(serialNumber)) {
    case 0: return "brisa.png";
    case 1: return "brisa lite.png";
    case 2: return "brisa pro.png";
    case 3: return "tolva 4.png";
    case 4:
    case 5: return "Q-TRAK.png";
    default: return "unknown.png";
  }
}

}  // namespace

DlgUpg::DlgUpg(std::shared_ptr<UiServices> services, QWidget* parent)
    : SkinWindow(parent), services_(std::move(services)) {
  arrivalTimer_.setSingleShot(true);
  connect(&arrivalTimer_, &QTimer::timeout, this, [this] {
    if (runningTask() == -1) resetDeviceView();
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
    for (auto [vid, pid] : kWatchedUsbIds) {
      if (device.vendorId != vid || device.productId != pid) continue;
      if (auto t = target.lock()) t->post(AppMessage{UM_USB_CHANGE, arrived ? 1u : 0u, 0, {}});
      return;
    }
  });

  if (CurrentDevice::getInstance().findBootPort()) AppState::getInstance().setScanType(kScanSerial);
  InitSchedule();
  TextNotifier::getInstance().setTarget(messageTarget());
  AppState::getInstance().setTarget(messageTarget());

  setText("J2534Version", isQtrakBrand() ? QStringLiteral("Ver4.6") : QStringLiteral("V4.6"));

  if (isUsbDevicePresent()) {
    setConnected(true);
    setText("connect_type", QStringLiteral("USB"));
    resetDeviceView();
  } else {
    setConnected(false);
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
  const QString status = connected ? QStringLiteral("ok") : QStringLiteral("warn");
  setStatus("connect_state_icon", status);
  setStatus("connect_state_str", status);
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
    std::string serial;
    {
      std::lock_guard<std::mutex> guard(viewLock_);
      serial = view_.serialNumber;
    }
    // Claimed while the form is open, as the command line claims it for its Wi-Fi change.
    std::unique_ptr<platform::DeviceLock> claim;
    std::string holder;
    if (claimDevice(serial, "Wi-Fi set-up of " + serial, claim, holder) == platform::DeviceLock::Result::Busy) {
      services_->messageBox(busyText(holder) + ". Please wait until it ends, then try again.", "option");
      return;
    }
    CWifiConnectWnd wifi(classifyModel(serial), services_, this);
    if (wifi.create(skinFolder())) {
      wifi.exec();
    } else {
      services_->messageBox("create window error. " + wifi.skinError().toStdString(), "option");
    }
    update();
  } else if (name == QLatin1String("selBtn")) {
    if (!refuseProbe()) connectToListedDevice(sender);
  } else if (name == QLatin1String("confBtn")) {
    update();
  } else if (name == QLatin1String("status_query")) {
    if (!refuseProbe()) statusQuery();
  } else if (name == QLatin1String("switch_connect_type")) {
    if (auto* combo = qobject_cast<QComboBox*>(control("switch_connect_type_combo"))) combo->showPopup();
  } else if (name == QLatin1String("log_option")) {
    uint32_t logFile = 0;
    changeSettings([&](SettingsRecord& s) { logFile = s.LogFile = s.LogFile ? 0 : 1; });
    selectControl("log_option", logFile != 0);
  } else if (name == QLatin1String("cancel")) {
    if (refuseProbe()) return;
    showControl("version_panel", true);
    showControl("device_sacn_panel", false);
    resetDeviceView();
  } else if (name == QLatin1String("get_voltage")) {
    messageTarget()->send(AppMessage{UM_READ_VOLTAGE, 0, 0, {}});
  }
}

void DlgUpg::onComboSelect() {
  auto* combo = qobject_cast<QComboBox*>(control("switch_connect_type_combo"));
  if (!combo) return;
  const int item = combo->currentIndex();
  if (item == 0) {
    if (!refuseProbe()) startUsbLinkCheck();
  } else if (item >= 1 && item <= 3) {
    static const int kPanelScan[] = {kScanLan, kScanBluetooth, kScanSerial};
    showControl("version_panel", false);
    showControl("device_sacn_panel", true);
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
    case UM_FIRMWARE_PROGRESS: onFirmwareProgress(static_cast<int>(m.wParam), static_cast<int>(m.lParam)); break;
    case UM_SYSTEM_PROGRESS:
      onSystemProgress(static_cast<int>((m.wParam >> 8) & 0xFF), static_cast<int>(m.wParam & 0xFF),
                       static_cast<int>(m.lParam));
      break;
    case UM_SHOW_TEXT: setText(m.wParam == 0 ? "error_text" : "progress_info", q(m.text)); break;
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
        showControl("version_panel", true);
        showControl("device_sacn_panel", false);
        resetDeviceView();
      }
      break;
    case UM_USB_CHANGE: onUsbChange(m.wParam != 0); break;
    default: break;
  }
}

void DlgUpg::onUsbChange(bool arrived) {
  setConnected(arrived);
  if (runningTask() != -1) return;
  if (!arrived) {
    arrivalTimer_.stop();
    applyDisconnectedView();
    return;
  }
  if (text("sn").isEmpty()) arrivalTimer_.start(platform::scaled(kArrivalSettle));
}

// --- scans ---

void DlgUpg::startScan(int scanType, bool fromPanel) {
  if (fromPanel) {
    static const std::pair<int, const char*> kSearching[] = {
        {kScanSerial, "Searching for serial devices,please wait ..."},
        {kScanLan, "Searching for LAN devices,please wait ..."},
        {kScanBluetooth, "Searching for blutooth devices,please wait ..."}};
    for (auto [type, text] : kSearching) {
      if (type == scanType) setText("error_text", q(text));
    }
  }
  if (auto* list = qobject_cast<QListWidget*>(control("connect_list"))) list->clear();
  devices_.clear();
  // A refused start must leave the scan in progress reporting to its own button.
  const int previousWindowType = scanType_;
  const int previousSharedType = AppState::getInstance().scanType();
  scanType_ = scanType;
  AppState::getInstance().setScanType(scanType);
  if (fromPanel) {
    for (const char* name : {"search_lan_btn", "search_blue_btn", "search_serial_btn", "config_wifi"}) {
      showControl(name, false);
    }
  } else {
    enableControl(scanButton(scanType), false);
  }
  ScheduleManager& scheduler = ScheduleManager::getInstance();
  if (scheduler.runTask(kTaskDevScanner) == 0) return;
  scanType_ = previousWindowType;
  AppState::getInstance().setScanType(previousSharedType);
  services_->messageBox("there is a task running, id " + std::to_string(scheduler.getRunningTask(kWorkerDevInfo)),
                        "option");
  if (fromPanel) {
    applyScanEndDisplay(scanType);
  } else {
    enableControl(scanButton(scanType), true);
  }
}

void DlgUpg::applyScanEndDisplay(int scanType) {
  if (scanType == kScanSerial) {
    showControl("search_serial_btn", true);
    showControl("config_wifi", false);
  } else if (scanType == kScanLan) {
    showControl("search_lan_btn", true);
    showControl("config_wifi", true);
  } else if (scanType == kScanBluetooth) {
    showControl("search_blue_btn", true);
    showControl("config_wifi", false);
  }
  setText("error_text", QString());
}

void DlgUpg::onScanDone(int result) {
  const int scanType = AppState::getInstance().scanType();
  applyScanEndDisplay(scanType);
  enableControl(scanButton(scanType), true);
  if (result != 0) {
    TextNotifier::getInstance().post("ERR_SCAN_J2534_DEVICE: ", "scan j2534Dev error,please try again.", kTextError);
    return;
  }
  devices_ = listedDevices(AppState::getInstance().devices());
  rebuildDeviceList();
}

void DlgUpg::rebuildDeviceList() {
  auto* list = qobject_cast<QListWidget*>(control("connect_list"));
  if (!list) return;
  list->clear();
  const QString rowFile = q(skinFile(SkinPart::DevListItem, isQtrakBrand(), locale_));
  for (size_t i = 0; i < devices_.size(); ++i) {
    const J2534Device& device = devices_[i];
    QWidget* row = buildRow(rowFile);
    if (!row) {
      services_->messageBox("create list element error." + skinError().toStdString(), "option");
      return;
    }
    // The whole index: a list longer than 256 rows must not select another row's device.
    const uint64_t tag = (uint64_t{device.connectType} << 32) | i;
    setTag(row, tag);
    auto setRowText = [row](const char* name, const QString& text) {
      if (auto* label = row->findChild<QLabel*>(name)) {
        label->setTextFormat(Qt::PlainText);
        label->setText(text);
      }
    };
    setRowText("id", QString::number(i));
    setRowText("name", q(device.name));
    setRowText("type", QString::fromLatin1(rowLinkName(device.connectType)));
    auto* item = new QListWidgetItem(list);
    item->setSizeHint(row->sizeHint());
    list->setItemWidget(item, row);
  }
}

// --- probes ---

bool DlgUpg::refuseProbe() {
  const int running = runningTask();
  if (isUpgradeTask(running)) {
    services_->messageBox(kRefusedUpgrade + std::to_string(running), "option");
    return true;
  }
  if (probeRunning_) {
    TextNotifier::getInstance().post("", kInProgress, kTextProgress);
    return true;
  }
  return !upgradeLock_ && deviceBusyElsewhere();
}

void DlgUpg::postWaitText(int target, const char* text) {
  TextNotifier::getInstance().post("", text, target);
  if (japaneseQtrak()) {
    TextNotifier::getInstance().post("", text == std::string(kChecking) ? kCheckingJp : kWaitJp, target);
  }
}

void DlgUpg::connectToListedDevice(QWidget* sender) {
  const uint64_t index = tag(sender) & 0xFFFFFFFFu;
  if (index >= devices_.size()) {
    LOG_WARN("device row %llu is not in the list", static_cast<unsigned long long>(index));
    return;
  }
  const J2534Device device = devices_[index];
  uint32_t saved = 0;
  saveChosenDevice(device, saved);
  startLinkCheck(saved == kScanLan ? kScanWifi : static_cast<int>(saved), static_cast<int>(saved));
}

bool DlgUpg::startProbe(std::function<void()> job) {
  probes_->setJob(std::move(job));
  if (ScheduleManager::getInstance().runTask(kTaskProbe) != 0) {
    probes_->setJob(nullptr);
    TextNotifier::getInstance().post("", kInProgress, kTextProgress);
    return false;
  }
  probeRunning_ = true;
  return true;
}

void DlgUpg::startLinkCheck(int linkType, int savedType) {
  postWaitText(kTextError, kChecking);
  const bool jpQtrak = japaneseQtrak();
  startProbe([target = messageTarget(), linkType, savedType, jpQtrak] {
    std::string text;
    const bool passed = checkLink(linkType);
    if (!passed) {
      switch (linkType) {
        case kScanSerial: text = "Please connect the serial device."; break;
        case kScanLan: text = "Ethernet communication failed. Please reconfigure."; break;
        case kScanBluetooth: text = "Bluetooth communication failed. Please reconfigure."; break;
        default: text = "Connection failed. Please reconfigure."; break;
      }
    } else {
      // The link the user chose, not the probe's own type (a LAN row is checked as Wi-Fi).
      const std::string name = linkCheckName(savedType);
      char buffer[256];
      if (linkType == kScanSerial) {
        std::snprintf(buffer, sizeof buffer, "Switching to serial success.");
      } else if (isUsbDevicePresent()) {
        std::snprintf(buffer, sizeof buffer, "Switch %s successful, please disconnect the USB connection.",
                      name.c_str());
      } else if (jpQtrak) {
        std::snprintf(buffer, sizeof buffer, " %s 接続完了.", name.c_str());
      } else {
        std::snprintf(buffer, sizeof buffer, "Switching %s success.", name.c_str());
      }
      text = buffer;
    }
    target->send(AppMessage{UM_MESSAGE_BOX, 0, 0, text});
    target->post(AppMessage{UM_PROBE_DONE, passed ? kLinkCheckPassed : kProbeEnded, 0, {}});
  });
}

void DlgUpg::startUsbLinkCheck() {
  changeSettings([](SettingsRecord& s) { s.TransferType = kScanLan; });
  TextNotifier::getInstance().post("", kChecking, kTextProgress);
  startProbe([target = messageTarget()] {
    const bool passed = isUsbDevicePresent() && checkLink(kScanLan);
    target->send(AppMessage{UM_MESSAGE_BOX, 0, 0,
                            passed ? "Switching to USB success." : "Please connect the USB device."});
    TextNotifier::getInstance().post("", "", kTextProgress);
    target->post(AppMessage{UM_PROBE_DONE, kProbeEnded, 0, {}});
  });
}

void DlgUpg::startVoltageRead() {
  enableControl("switch_connect_type", false);
  enableControl("get_voltage", false);
  postWaitText(kTextProgress, kInProgress);
  const bool started = startProbe([target = messageTarget()] {
    std::optional<float> volts = readSupplyVoltage();
    char buffer[64];
    if (volts) {
      std::snprintf(buffer, sizeof buffer, "votage: %.3f V", static_cast<double>(*volts));
    } else {
      std::snprintf(buffer, sizeof buffer, "votage: read failed, please retry");
    }
    TextNotifier::getInstance().post("", buffer, kTextProgress);
    target->post(AppMessage{UM_PROBE_DONE, kVoltageRead, 0, {}});
  });
  if (!started) {
    enableControl("switch_connect_type", true);
    enableControl("get_voltage", true);
  }
}

void DlgUpg::statusQuery() {
  selectControl("connect_state_icon", false);
  enableControl("switch_connect_type", false);
  enableControl("get_voltage", false);
  enableControl("status_query", false);
  postWaitText(kTextProgress, kInProgress);
  setConnected(false);
  setText("connect_type", QString());
  resetDeviceView();
}

// --- device view ---

void DlgUpg::resetDeviceView() {
  {
    std::lock_guard<std::mutex> guard(viewLock_);
    view_ = DeviceInfo();
  }
  for (const char* name : {"sn", "fw_current_version", "dll_current_version", "dll_latest_version",
                           "fw_latest_version", "connect_type"}) {
    setText(name, QString());
  }
  showControl("view_sys_current_version", false);
  showControl("view_sys_latest_version", false);
  enableControl("btn_fw_upgrade", false);
  enableControl("btn_sys_upgrade", false);
  enableControl("config_wifi_main", false);
  showControl("fw_update_indicator", false);
  setPrimary("btn_fw_upgrade", false);
  setPrimary("btn_sys_upgrade", false);
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
  if (!isDefaultDeviceClaimed(CurrentDevice::getInstance().serialNumber(), holder)) return false;
  showProgress(0, busyText(holder) + ". Read it again when that has ended.", false,
               QStringLiteral("error"));
  return true;
}

void DlgUpg::showProgress(int value, const std::string& text, bool withPercent, const QString& status) {
  setProgress("common_progress", value);
  setText("progress_info", q(text));
  setText("progress_percent", withPercent ? QString::number(value) + QLatin1Char('%') : QString());
  for (const char* name : {"common_progress", "progress_info", "progress_percent"}) setStatus(name, status);
}

void DlgUpg::updateModelPicture() {
  std::string serial;
  {
    std::lock_guard<std::mutex> guard(viewLock_);
    serial = view_.serialNumber;
  }
  setImage("model", QString::fromUtf8(modelPicture(serial)));
}

void DlgUpg::applyConnectionDisplay() {
  std::string serial;
  {
    std::lock_guard<std::mutex> guard(viewLock_);
    serial = view_.serialNumber;
  }
  if (serial.empty()) {
    setConnected(false);
    enableControl("status_query", false);
    setText("connect_type", QString());
    return;
  }
  enableControl("status_query", true);
  enableControl("switch_connect_type", true);
  enableControl("get_voltage", true);
  setConnected(true);
  QString link;
  if (isUsbDevicePresent()) {
    link = CurrentDevice::getInstance().findBootPort() ? QStringLiteral("Serial") : QStringLiteral("USB");
  } else {
    SettingsRecord settings;
    loadSettings(settings);
    if (settings.TransferType >= 1 && settings.TransferType <= 3) link = QStringLiteral("WiFi");
    if (settings.TransferType == 4) link = QStringLiteral("BT");
  }
  setText("connect_type", link);
}

void DlgUpg::applyDisconnectedView() {
  for (const char* name : {"sn", "fw_current_version", "dll_current_version", "dll_latest_version",
                           "fw_latest_version", "connect_type"}) {
    setText(name, QString());
  }
  showControl("view_sys_current_version", false);
  showControl("view_sys_latest_version", false);
  updateModelPicture();
  showProgress(0, "", false);
  enableControl("btn_fw_upgrade", false);
  enableControl("btn_sys_upgrade", false);
  enableControl("config_wifi_main", false);
}

void DlgUpg::onDeviceInfo(const DeviceInfo* record, int phase) {
  if (!record) return;
  CurrentDevice& current = CurrentDevice::getInstance();
  current.setSerialNumber(record->serialNumber);
  if (phase == DevInfoReader::kDeviceRead) {
    const int model = classifyModel(record->serialNumber);
    const bool canConfigure = model == 4 || model == 5 || current.findBootPort();
    showControl("config", canConfigure);
    showControl("config_wifi", canConfigure);
    showControl("sys_ud", model != 4 && model != 5 && model != 6);
    showControl("connect_status", true);
  }
  DeviceInfo view;
  {
    std::lock_guard<std::mutex> guard(viewLock_);
    switch (phase) {
      case DevInfoReader::kDeviceRead:
        view_.serialNumber = record->serialNumber;
        view_.firmware.softType = record->firmware.softType;
        view_.firmware.version = record->firmware.version;
        view_.j2534Firmware.softType = record->j2534Firmware.softType;
        view_.j2534Firmware.packageName = record->j2534Firmware.packageName;
        view_.j2534Firmware.version = record->j2534Firmware.version;
        view_.system.version = record->system.version;
        view_.system.packageName = record->system.packageName;
        break;
      case DevInfoReader::kOnlineRead:
        view_.firmware.latestVersion = record->firmware.latestVersion;
        view_.firmware.downloadLink = record->firmware.downloadLink;
        view_.j2534Firmware.packageName = record->j2534Firmware.packageName;
        view_.j2534Firmware.latestVersion = record->j2534Firmware.latestVersion;
        view_.j2534Firmware.downloadLink = record->j2534Firmware.downloadLink;
        view_.system.latestVersion = record->system.latestVersion;
        view_.system.downloadLink = record->system.downloadLink;
        break;
      case DevInfoReader::kFinished: AppState::getInstance().setDeviceInfo(view_); break;
      default: view_ = DeviceInfo(); break;
    }
    view = view_;
  }
  const std::string registration = readJ2534Name();
  switch (phase) {
    case DevInfoReader::kDeviceRead: {
      setText("sn", q(view.serialNumber));
      std::string dll = readFileVersion(j2534LibraryPath(), 2);
      if (registration == kSingleImageRegistration && !dll.empty()) dll = "V" + dll;
      {
        std::lock_guard<std::mutex> guard(viewLock_);
        view_.dllVersion = dll;
      }
      setText("dll_current_version", q(dll));
      setText("fw_current_version", q(firmwareText(view.firmware.version, view.j2534Firmware.version, registration)));
      showControl("view_sys_current_version", !view.system.version.empty());
      setText("sys_current_version", q(view.system.version));
      updateModelPicture();
      showProgress(0, "", false);
      break;
    }
    case DevInfoReader::kOnlineRead:
      setText("dll_latest_version", q(view.dllVersion));
      setText("fw_latest_version", q(firmwareText(withoutLeadingV(view.firmware.latestVersion),
                                                  withoutLeadingV(view.j2534Firmware.latestVersion), registration)));
      showControl("view_sys_latest_version", !view.system.latestVersion.empty());
      setText("sys_latest_version", q(view.system.latestVersion));
      updateModelPicture();
      break;
    case DevInfoReader::kFinished: {
      applyConnectionDisplay();
      const bool firmwareOffered = !view.firmware.latestVersion.empty() || !view.j2534Firmware.latestVersion.empty();
      enableControl("config_wifi_main", !view.serialNumber.empty());
      enableControl("btn_fw_upgrade", firmwareOffered);
      enableControl("btn_sys_upgrade", !view.system.latestVersion.empty());
      {
        std::lock_guard<std::mutex> guard(viewLock_);
        view_.firmware.latestVersion = withoutLeadingV(view_.firmware.latestVersion);
        view_.j2534Firmware.latestVersion = withoutLeadingV(view_.j2534Firmware.latestVersion);
      }
      // Dotted versions compare number by number: 2.10 is newer than 2.9.
      const bool newer = isNewerVersion(view.firmware.latestVersion, view.firmware.version) ||
                         isNewerVersion(view.j2534Firmware.latestVersion, view.j2534Firmware.version);
      showControl("fw_update_indicator", newer);
      setPrimary("btn_fw_upgrade", newer);
      setPrimary("btn_sys_upgrade", isNewerVersion(view.system.latestVersion, view.system.version));
      break;
    }
    default:
      setConnected(false);
      enableControl("status_query", false);
      applyDisconnectedView();
      break;
  }
}

// --- upgrades ---

void DlgUpg::startUpgrade(bool system) {
  ScheduleManager& scheduler = ScheduleManager::getInstance();
  // A check that is waiting for its turn counts as running.
  const int running = probeRunning_ ? kTaskProbe : scheduler.getRunningTask(kWorkerDevInfo);
  if (running != -1) {
    services_->messageBox(kRefusedUpgrade + std::to_string(running), "option");
    return;
  }
  std::string serial;
  {
    std::lock_guard<std::mutex> guard(viewLock_);
    serial = view_.serialNumber;
  }
  bool force = false;
  if (!confirmNotOffered(system, force)) return;
  std::string holder;
  switch (claimDevice(serial, (system ? "system upgrade of " : "firmware upgrade of ") + serial, upgradeLock_, holder)) {
    case platform::DeviceLock::Result::Acquired:
      break;
    case platform::DeviceLock::Result::Busy:
      services_->messageBox(busyText(holder) + ". Please wait until it ends, then try again.", "option");
      return;
    case platform::DeviceLock::Result::Failed:
      services_->messageBox("Cannot claim the device for the upgrade: " + holder, "option");
      return;
  }
  enableControl("btn_fw_upgrade", false);
  enableControl("btn_sys_upgrade", false);
  enableControl("config_wifi_main", false);
  showProgress(0, "", false);
  const int taskId = system ? kTaskSystemUpgrader : kTaskFirmwareUpgrader;
  if (system) scheduler.setTaskParam(taskId, "sn", serial);
  if (!system) scheduler.setTaskParam(taskId, FirmwareUpgrader::kParamForce, force ? "1" : "0");
  const int rc = scheduler.runTask(taskId);
  if (rc == 0) return;
  upgradeLock_.reset();
  enableControl("btn_fw_upgrade", true);
  enableControl("btn_sys_upgrade", true);
  enableControl("config_wifi_main", true);
  services_->messageBox(
      (system ? "start system upgrade task failed!" : "start firemware upgrade task failed!") + std::to_string(rc),
      "option");
}

bool DlgUpg::confirmNotOffered(bool system, bool& force) {
  DeviceInfo view;
  {
    std::lock_guard<std::mutex> guard(viewLock_);
    view = view_;
  }
  std::string parts;
  bool offered = false;
  auto judge = [&](const char* name, VersionVerdict verdict) {
    offered = offered || isOffered(verdict, false);
    parts += std::string(parts.empty() ? "" : ", ") + name + ": " + verdictText(verdict);
  };
  if (system) {
    judge("system", judgeSystem(view.system));
  } else {
    if (!skipsMainFirmware(classifyModel(view.serialNumber))) {
      judge("firmware", judgeVersion(view.firmware.version, view.firmware.latestVersion));
    }
    judge("J2534 firmware", judgeVersion(view.j2534Firmware.version, view.j2534Firmware.latestVersion));
  }
  if (offered) return true;
  // The user may know better (a device left in its boot loader), but must say so.
  force = services_->askYesNo("Nothing newer is offered for this device (" + parts +
                                  "). Upgrade it anyway with what is offered online?",
                              "option", UiServices::Answer::No) == UiServices::Answer::Yes;
  return force;
}

void DlgUpg::onFirmwareProgress(int part, int step) {
  const FirmwareStepView view = firmwareStepView(part, step);
  showProgress(view.percent, view.text, true, statusName(view.state));
  if (view.ended) {
    upgradeLock_.reset();
    enableControl("btn_fw_upgrade", true);
    enableControl("btn_sys_upgrade", true);
    enableControl("config_wifi_main", true);
  }
}

void DlgUpg::onSystemProgress(int stage, int subState, int value) {
  const SystemStageView view = systemStageView(stage, subState, value);
  if (view.shown) showProgress(view.percent, view.text, view.withPercent, statusName(view.state));
  if (view.asksForPackage) choosePackage();
  if (view.ended) {
    upgradeLock_.reset();
    resetDeviceView();
  }
}

void DlgUpg::choosePackage() {
  std::string path = "nofile";
  if (services_->askYesNo("No upgrade package is available online. Please contact guest services to obtain it for "
                          "offline upgrade.Click 'Yes' if you have the package, or 'No' to cancel the upgrade.",
                          "Confirmation", UiServices::Answer::Yes) == UiServices::Answer::Yes) {
    std::string chosen = services_->openFile("select pkg file", {"*.*", "*.zip"});
    if (!chosen.empty()) path = chosen;
  }
  ScheduleManager::getInstance().setTaskParam(kTaskSystemUpgrader, "pkgPath", path);
}
