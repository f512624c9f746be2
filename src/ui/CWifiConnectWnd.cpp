#include "ui/CWifiConnectWnd.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QTimer>

#include <string.h>

#include <chrono>

#include "app/TextNotifier.h"
#include "platform/Clock.h"
#include "platform/Locale.h"
#include "schedule/ScheduleManager.h"
#include "ui/CWifiScanUtils.h"
#include "utils/LogFacade.h"
#include "utils/Settings.h"
#include "viewmodel/WifiStepView.h"

namespace {

using namespace std::chrono_literals;

// Interfaces report what they found about a second after being asked to look.
constexpr auto kScanPause = 1000ms;
constexpr int kTextProgress = 2;
constexpr int kRawSsidRole = Qt::UserRole;
constexpr int kHiddenRole = Qt::UserRole + 1;

QString stepError(uint32_t step) { return QString::fromStdString(wifiStepError(step)); }

}  // namespace

CWifiConnectWnd::CWifiConnectWnd(DeviceModel model, std::shared_ptr<UiServices> services, QWidget* parent)
    : SkinWindow(parent), model_(model), services_(std::move(services)) {}

CWifiConnectWnd::~CWifiConnectWnd() {
  // Setting the text also drops the edit's undo history, which holds the key too.
  if (auto* key = qobject_cast<QLineEdit*>(control("KEY"))) key->setText(QString());
  // Waits for a run still going; the window stays open while one does, so this is short.
  ScheduleManager::getInstance().removeTask(kWorkerDevInfo, kTaskConfigWifi);
}

bool CWifiConnectWnd::create(const QString& skinFolder) {
  const int locale = platform::userLocaleId();
  if (!loadSkin(skinFolder, QString::fromStdString(skinFile(SkinPart::ConnectWifi, isQtrakBrand(), locale)))) {
    return false;
  }
  setWindowFlag(Qt::WindowMaximizeButtonHint, false);
  setModal(true);
  initWindow();
  return true;
}

void CWifiConnectWnd::initWindow() {
  ScheduleManager& scheduler = ScheduleManager::getInstance();
  scheduler.removeTask(kWorkerDevInfo, kTaskConfigWifi);
  auto task = std::make_shared<ConfigWifiTask>(model_);
  task->setNotifier(this);
  if (scheduler.addTask(kWorkerDevInfo, kTaskConfigWifi, task) != 0) LOG_WARN("add config wifi task failed");

  if (auto* key = qobject_cast<QLineEdit*>(control("KEY"))) key->setEchoMode(QLineEdit::Password);
  if (auto* show = qobject_cast<QAbstractButton*>(control("show_key"))) {
    show->setCheckable(true);
    connect(show, &QAbstractButton::toggled, this, [this](bool on) {
      if (auto* key = qobject_cast<QLineEdit*>(control("KEY"))) {
        key->setEchoMode(on ? QLineEdit::Normal : QLineEdit::Password);
      }
    });
  }

  listNetworks();
}

void CWifiConnectWnd::listNetworks() {
  if (scanner_) return;
  if (auto* list = qobject_cast<QListWidget*>(control("WifiList"))) list->clear();
  if (auto* combo = qobject_cast<QComboBox*>(control("WifiList"))) combo->clear();
  // Listing waits for the interfaces to look; a timer keeps the window answering meanwhile.
  scanner_ = std::make_shared<CWifiScanUtils>();
  if (!scanner_->open()) {
    scanner_.reset();
    showListHint(false, true);
    return;
  }
  showListHint(true, false);
  scanner_->scan();
  QTimer::singleShot(platform::scaled(kScanPause), this, [this] { fillNetworkList(); });
}

void CWifiConnectWnd::fillNetworkList() {
  if (!scanner_) return;
  std::vector<std::string> names = scanner_->getNetworkNames();
  scanner_.reset();
  showListHint(false, names.empty());
  QWidget* list = control("WifiList");
  for (const std::string& name : names) {
    const bool hidden = name == CWifiScanUtils::kHiddenSsid;
    const QByteArray raw = hidden ? QByteArray() : QByteArray::fromStdString(name);
    const QString shown = QString::fromUtf8(name);
    if (auto* widget = qobject_cast<QListWidget*>(list)) {
      auto* item = new QListWidgetItem(shown, widget);
      item->setData(kRawSsidRole, raw);
      item->setData(kHiddenRole, hidden);
    } else if (auto* combo = qobject_cast<QComboBox*>(list)) {
      combo->addItem(shown);
      combo->setItemData(combo->count() - 1, raw, kRawSsidRole);
      combo->setItemData(combo->count() - 1, hidden, kHiddenRole);
    }
  }
}

void CWifiConnectWnd::showListHint(bool listing, bool none) {
  showControl("wifi_listing", listing);
  showControl("wifi_none", none);
}

void CWifiConnectWnd::notify(const Notification& n) {
  const QString name = n.name();
  if (n.kind == QLatin1String("itemselect") && name == QLatin1String("WifiList")) {
    // A chosen network fills the SSID box; a hidden one leaves it for the user to type.
    auto* list = qobject_cast<QListWidget*>(n.sender);
    QListWidgetItem* item = list ? list->currentItem() : nullptr;
    if (!item) return;
    setText("SSID", item->data(kHiddenRole).toBool() ? QString() : item->text());
    if (item->data(kHiddenRole).toBool()) {
      if (QWidget* box = control("SSID")) box->setFocus();
    }
    return;
  }
  if (n.kind != QLatin1String("click")) return;
  if (name == QLatin1String("CloseBtn")) {
    done(1);
  } else if (name == QLatin1String("ConnectBtn")) {
    connectAction();
  } else if (name == QLatin1String("QueryBtn")) {
    listNetworks();
  }
}

QByteArray CWifiConnectWnd::chosenSsid() const {
  QByteArray raw;
  QString shown;
  bool hidden = false;
  QWidget* list = control("WifiList");
  if (auto* widget = qobject_cast<QListWidget*>(list); widget && widget->currentItem()) {
    raw = widget->currentItem()->data(kRawSsidRole).toByteArray();
    shown = widget->currentItem()->text();
    hidden = widget->currentItem()->data(kHiddenRole).toBool();
  } else if (auto* combo = qobject_cast<QComboBox*>(list); combo && combo->currentIndex() >= 0) {
    raw = combo->currentData(kRawSsidRole).toByteArray();
    shown = combo->currentText();
    hidden = combo->currentData(kHiddenRole).toBool();
  }
  if (auto* box = qobject_cast<QLineEdit*>(control("SSID"))) {
    const QString typed = box->text();
    if (typed.isEmpty()) return hidden ? QByteArray() : raw;
    // A listed name keeps its own bytes, which need not be valid text.
    if (!hidden && typed == shown) return raw;
    return typed.toUtf8();
  }
  return hidden ? QByteArray() : raw;
}

void CWifiConnectWnd::connectAction() {
  const QByteArray ssid = chosenSsid();
  if (ssid.isEmpty()) {
    showError(QStringLiteral("ERR_WIFI_CONNECT:  Please input ssid."));
    return;
  }
  QByteArray keyBytes = text("KEY").toUtf8();
  std::string key(keyBytes.constData(), static_cast<size_t>(keyBytes.size()));
  explicit_bzero(keyBytes.data(), static_cast<size_t>(keyBytes.size()));
  // An empty key is the task's to refuse, at its configuration step.
  std::string problem = ConfigWifiTask::ssidProblem(ssid.toStdString());
  if (problem.empty() && !key.empty()) problem = ConfigWifiTask::keyProblem(key);
  ScheduleManager& scheduler = ScheduleManager::getInstance();
  if (problem.empty()) {
    scheduler.setTaskParam(kTaskConfigWifi, "ssid", ssid.toStdString());
    scheduler.setTaskParam(kTaskConfigWifi, "password", key);
  }
  explicit_bzero(key.data(), key.size());
  if (!problem.empty()) {
    showError(QStringLiteral("ERR_WIFI_CONNECT: ") + QString::fromStdString(problem));
    return;
  }
  if (scheduler.runTask(kTaskConfigWifi) != 0) {
    // Nothing runs that would give the form back: leave it usable.
    showError(stepError(0));
    return;
  }
  showError(QString());
  if (!serialNumber_.empty()) run_ = std::make_unique<RecordedRun>(serialNumber_, runwhat::kWifi, "", place_);
  ssidSent_ = ssid.toStdString();
  configuring_ = true;
  enableForm(false);
}

void CWifiConnectWnd::onConfigWifiResult(uint32_t step, int32_t code) {
  messageTarget()->post(AppMessage{UM_WIFI_RESULT_MSG, step, code, {}});
}

void CWifiConnectWnd::handleMessage(const AppMessage& message) {
  if (message.id == UM_WIFI_RESULT_MSG) {
    resultAction(static_cast<uint32_t>(message.wParam), static_cast<int32_t>(message.lParam));
  }
}

void CWifiConnectWnd::resultAction(uint32_t step, int32_t code) {
  configuring_ = false;
  enableForm(true);
  if (run_) {
    if (code == 0) {
      run_->finish(RunResult::Succeeded, ssidSent_);
    } else {
      run_->finish(RunResult::Failed, "", wifiStepName(step), wifiStepError(step));
    }
    run_.reset();
  }
  if (code == 0) {
    joined_ = true;
    done(1);
    TextNotifier::getInstance().post("", "Wifi Connect Success", kTextProgress);
    return;
  }
  showError(stepError(step));
}

void CWifiConnectWnd::enableForm(bool enabled) {
  for (const char* name : {"CloseBtn", "ConnectBtn", "QueryBtn", "SSID", "KEY"}) enableControl(name, enabled);
}

void CWifiConnectWnd::showError(const QString& text) {
  setText("ERROR_TEXT", text);
  setStatus("ERROR_TEXT", text.isEmpty() ? QString() : QStringLiteral("error"));
}

// Closing while the device is being configured would leave the run without
// its window; the form gives the window back when the outcome arrives.
void CWifiConnectWnd::reject() {
  if (!configuring_) done(1);
}
