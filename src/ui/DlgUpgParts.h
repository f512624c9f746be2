#pragma once
// What the main window's section files share; included by DlgUpg*.cpp only.
#include <QString>

#include <string>

#include "connection/ConnectionFactory.h"
#include "schedule/ScheduleManager.h"

namespace dlgupg {

constexpr int kTextError = 0;
constexpr int kTextProgress = 2;

// Scans and checks name their link by the link type of the connections.
constexpr int kScanSerial = static_cast<int>(ConnectType::Serial);
constexpr int kScanLan = static_cast<int>(ConnectType::Lan);
constexpr int kScanWifi = static_cast<int>(ConnectType::Wifi);
constexpr int kScanBluetooth = static_cast<int>(ConnectType::Bluetooth);

inline QString q(const std::string& text) { return QString::fromStdString(text); }

inline std::string busyText(const std::string& holder) { return "The device is busy: " + holder; }

inline int runningTask() { return ScheduleManager::getInstance().getRunningTask(kWorkerDevInfo); }

inline bool isUpgradeTask(int taskId) { return taskId == kTaskFirmwareUpgrader || taskId == kTaskSystemUpgrader; }


}  // namespace dlgupg
