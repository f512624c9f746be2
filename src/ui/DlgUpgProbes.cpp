// The main window's checks on the device worker: link checks, the supply
// voltage and the status query.
#include "app/AppState.h"
#include "app/TextNotifier.h"
#include "platform/Locale.h"
#include "session/SessionSelection.h"
#include "ui/DlgUpg.h"
#include "ui/DlgUpgParts.h"
#include "utils/LogFacade.h"
#include "viewmodel/LinkProbes.h"
#include "viewmodel/ListedDevices.h"

using namespace dlgupg;

namespace {

constexpr char kWaitJp[] = "しばらくお待ちください。";
constexpr char kChecking[] = "Checking connection status,please wait";
constexpr char kCheckingJp[] = "接続を確認します。しばらくお待ちください。";

}  // namespace

bool DlgUpg::refuseProbe() {
  const ProbeRefusal refusal = probeRefusal(runningTask(), probeRunning_);
  if (refusal.refused) {
    if (refusal.asMessageBox) {
      services_->messageBox(refusal.text, "option");
    } else {
      TextNotifier::getInstance().post("", refusal.text, kTextProgress);
    }
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
    TextNotifier::getInstance().post("", kProbeInProgress, kTextProgress);
    return false;
  }
  probeRunning_ = true;
  return true;
}

void DlgUpg::startLinkCheck(int linkType, int savedType) {
  postWaitText(kTextError, kChecking);
  const bool jpQtrak = japaneseQtrak();
  startProbe([target = messageTarget(), linkType, savedType, jpQtrak] {
    const bool passed = checkLink(linkType);
    target->send(AppMessage{UM_MESSAGE_BOX, 0, 0,
                            linkCheckText(passed, linkType, savedType, isUsbDevicePresent(), jpQtrak)});
    target->post(AppMessage{UM_PROBE_DONE, passed ? kLinkCheckPassed : kProbeEnded, 0, {}});
  });
}

void DlgUpg::startUsbLinkCheck() {
  SettingsRecord settings;
  loadSettings(settings);
  settings.TransferType = kScanLan;
  saveSettings(settings);
  TextNotifier::getInstance().post("", kChecking, kTextProgress);
  startProbe([target = messageTarget()] {
    const bool passed = isUsbDevicePresent() && checkLink(kScanLan);
    target->send(AppMessage{UM_MESSAGE_BOX, 0, 0, usbCheckText(passed)});
    TextNotifier::getInstance().post("", "", kTextProgress);
    target->post(AppMessage{UM_PROBE_DONE, kProbeEnded, 0, {}});
  });
}

void DlgUpg::startVoltageRead() {
  enableControl("switch_connect_type", false);
  enableControl("get_voltage", false);
  postWaitText(kTextProgress, kProbeInProgress);
  const bool started = startProbe([target = messageTarget()] {
    TextNotifier::getInstance().post("", voltageText(readSupplyVoltage()), kTextProgress);
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
  postWaitText(kTextProgress, kProbeInProgress);
  setConnected(false);
  setLink(QString());
  resetDeviceView();
}
