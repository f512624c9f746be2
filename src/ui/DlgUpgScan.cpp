// The main window's device search and the list of devices it found.
#include <QLabel>
#include <QListWidget>

#include "app/AppState.h"
#include "app/TextNotifier.h"
#include "ui/DlgUpg.h"
#include "ui/DlgUpgParts.h"
#include "viewmodel/ListedDevices.h"

using namespace dlgupg;

namespace {

const char* scanButton(int scanType) {
  switch (scanType) {
    case kScanSerial: return "search_serial_btn";
    case kScanLan: return "search_lan_btn";
    case kScanWifi: return "search_wifi_btn";
    case kScanBluetooth: return "search_blue_btn";
    default: return "";
  }
}

// The skin's hidden label that says a search of the link found nothing.
const char* nothingFoundLabel(int scanType) {
  switch (scanType) {
    case kScanSerial: return "scan_none_serial";
    case kScanLan: return "scan_none_lan";
    case kScanWifi: return "scan_none_wifi";
    case kScanBluetooth: return "scan_none_bluetooth";
    default: return "";
  }
}

const char* rowLinkName(uint32_t connectType) {
  static const char* const kNames[] = {"Serial", "LAN", "USB", "Wi-Fi", "Bluetooth"};
  return connectType < 5 ? kNames[connectType] : "";
}

}  // namespace

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
  // Every search stays at hand after one of them ran.
  for (const char* name : {"search_lan_btn", "search_blue_btn", "search_serial_btn"}) showControl(name, true);
  if (scanType == kScanSerial || scanType == kScanBluetooth) {
    showControl("config_wifi", false);
  } else if (scanType == kScanLan) {
    showControl("config_wifi", true);
  }
  setText("error_text", QString());
  setStatus("error_text", QString());
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
  if (devices_.empty()) {
    setText("error_text", text(nothingFoundLabel(scanType)));
    setStatus("error_text", QStringLiteral("warn"));
  }
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

