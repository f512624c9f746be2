#pragma once
#include <QTimer>

#include <functional>
#include <memory>
#include <string>

#include "app/DeviceInfo.h"
#include "app/J2534Device.h"
#include "app/RecordedRun.h"
#include "platform/DeviceLock.h"
#include "viewmodel/DeviceView.h"
#include "viewmodel/OverallProgress.h"
#include "viewmodel/ProbeTask.h"
#include "ui/SkinWindow.h"
#include "ui/UiServices.h"
#include "utils/Settings.h"

// The main window: device search and list, the device card with current and
// newest versions, the upgrades, the probes and the progress strip.
class DlgUpg : public SkinWindow {
 public:
  enum : unsigned {
    UM_MESSAGE_BOX = 0x43E,   // text: the message; caption "option"
    UM_READ_VOLTAGE = 0x43F,
    UM_PROBE_DONE = 0x440,    // wParam: ProbeEnd
    UM_USB_CHANGE = 0x441,    // wParam: 1 arrival, 0 removal
  };
  enum ProbeEnd : uintptr_t { kProbeEnded = 0, kLinkCheckPassed = 1, kVoltageRead = 2 };

  explicit DlgUpg(std::shared_ptr<UiServices> services, QWidget* parent = nullptr);
  ~DlgUpg() override;

  // Loads the skin of the brand and locale from the skin folder and sets the
  // window up; false (logged) when the skin cannot be loaded.
  bool create(const QString& skinFolder);

  // Registers the device tasks on worker 0 and starts the session manager.
  int InitSchedule();
  // Forgets the device and reads it again.
  void resetDeviceView();
  // A message box through the window thread; callable from any thread.
  void showMessageBox(const std::string& text);

 protected:
  void notify(const Notification& n) override;
  void handleMessage(const AppMessage& message) override;
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

 private:
  // Window set-up, clicks, messages and closing: DlgUpg.cpp.
  void initWindow();
  void onClick(const QString& name, QWidget* sender);
  void onComboSelect();
  void showPanels();
  // The link choices as a menu under button.
  void chooseLink(QWidget* button);
  void openWifiSetup();
  void openHistory();
  void setConnected(bool connected);
  // The link named in the header's connection pill.
  void setLink(const QString& link);
  void fitPillText(const char* name);
  void onUsbChange(bool arrived);


  // Device search and the list of devices found: DlgUpgScan.cpp.
  void startScan(int scanType, bool fromPanel);
  void applyScanEndDisplay(int scanType);
  void onScanDone(int result);
  void rebuildDeviceList();

  // Link checks, voltage and status query on the device worker: DlgUpgProbes.cpp.
  // Refused while an upgrade runs or another check does, or while another
  // program upgrades the device.
  bool refuseProbe();
  // Queues job on the device worker; false (and the user told) when a check
  // is already queued.
  bool startProbe(std::function<void()> job);
  void connectToListedDevice(QWidget* sender);
  void startLinkCheck(int linkType, int savedType);
  void startUsbLinkCheck();
  void startVoltageRead();
  void statusQuery();
  void postWaitText(int target, const char* text);
  bool japaneseQtrak() const;

  // The device card and the connection state: DlgUpgDevice.cpp.
  void onDeviceInfo(const DeviceInfo* record, int phase);
  void renderCard();
  void applyConnectionDisplay();
  // Another program upgrading the device: true, and the user is told.
  bool deviceBusyElsewhere();
  void showProgress(int value, const std::string& text, bool withPercent, const QString& status = {});
  // The card's line for the device's newest firmware or system run.
  void showLastUpgrade();
  // The first full read after an upgrade of that device: what it runs now.
  void readBack(const DeviceInfo& record);

  // Upgrades: DlgUpgUpgrade.cpp.
  void startUpgrade(bool system);
  // When the version rule offers nothing to send, asks the user: false to
  // start nothing, else force tells whether to send anyway.
  bool confirmNotOffered(bool system, bool& force);
  void onFirmwareProgress(int part, int step);
  void onSystemProgress(int stage, int subState, int value);
  void onTransferProgress(uint64_t done, uint64_t total);
  void choosePackage();
  void upgradeEnded();
  // Completes the running upgrade's history row.
  void recordEnd(RunResult result, const std::string& step, const std::string& message);

  std::shared_ptr<UiServices> services_;
  DeviceView deviceView_;
  // The serial number of the last read, kept while a new read runs: the
  // claims of other programs are looked up by it.
  std::string knownSerial_;
  J2534DeviceList devices_;
  int scanType_ = -1;
  int locale_ = 0;
  ConnectionLabels labels_;
  // From a check's start until its UM_PROBE_DONE.
  bool probeRunning_ = false;
  std::shared_ptr<ProbeTask> probes_ = std::make_shared<ProbeTask>();
  bool monitoring_ = false;
  QTimer arrivalTimer_;  // the settle time of a plugged-in device
  // Held from the start of an upgrade to its end, so the command line cannot
  // write to the same device meanwhile.
  std::unique_ptr<platform::DeviceLock> upgradeLock_;
  // The running upgrade's one figure, forward only; the transfer fills the
  // room up to where its part ends.
  OverallProgress runProgress_;
  int partEnd_ = 50;
  std::string stepText_;  // the step the transfer belongs to
  // An upgrade's result is on the strip: reads leave it until the user acts.
  bool resultShown_ = false;
  // The running upgrade's history row, and where its failure stands so far.
  std::unique_ptr<RecordedRun> run_;
  bool runIsSystem_ = false;
  bool runForced_ = false;
  std::string runFailedStep_, runFailure_;
  // An ended upgrade whose versions the next full read of its device completes.
  int64_t readBackRow_ = 0;
  std::string readBackSerial_;

};
