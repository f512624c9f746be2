#pragma once
#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>

#include "app/RecordedRun.h"
#include "ui/SkinWindow.h"
#include "ui/UiServices.h"
#include "wifi/ConfigWifiTask.h"

// The modal window in which the user picks a network and types its key for
// the device to join. It owns task 5 on worker 0 while it exists.
class CWifiConnectWnd : public SkinWindow, public ConfigWifiTaskNotifier {
 public:
  enum : unsigned { UM_WIFI_RESULT_MSG = 0x43A };

  CWifiConnectWnd(DeviceModel model, std::shared_ptr<UiServices> services, QWidget* parent = nullptr);
  ~CWifiConnectWnd() override;

  // Loads the skin of the brand and locale and starts listing the networks;
  // false when the skin cannot be loaded.
  bool create(const QString& skinFolder);

  // Called on the task's thread: only posts the outcome to the window.
  void onConfigWifiResult(uint32_t step, int32_t code) override;

  // The device took the network before the window closed.
  bool joined() const { return joined_; }
  // Each configuration sent is recorded in the run history under this device.
  void recordRunsOf(const std::string& serialNumber, const std::string& place) {
    serialNumber_ = serialNumber;
    place_ = place;
  }

 protected:
  void notify(const Notification& n) override;
  void handleMessage(const AppMessage& message) override;
  void reject() override;

 private:
  void initWindow();
  void listNetworks();
  void fillNetworkList();
  // Says that the list is being filled, or that nothing was found.
  void showListHint(bool listing, bool none);
  void connectAction();
  void resultAction(uint32_t step, int32_t code);
  void enableForm(bool enabled);
  void showError(const QString& text);
  // The SSID bytes to send: what the user typed, else the chosen network's raw name.
  QByteArray chosenSsid() const;

  const DeviceModel model_;
  bool joined_ = false;
  std::shared_ptr<UiServices> services_;
  std::shared_ptr<class CWifiScanUtils> scanner_;  // open between the scan and the listing
  bool configuring_ = false;
  std::string serialNumber_;
  std::string place_;
  std::unique_ptr<RecordedRun> run_;  // from the configuration's start to its outcome
  std::string ssidSent_;
};
