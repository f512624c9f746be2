#include "viewmodel/ProbeTask.h"

#include <cstdio>
#include <utility>

#include "connection/ConnectionFactory.h"
#include "schedule/ScheduleManager.h"
#include "viewmodel/LinkProbes.h"

void ProbeTask::setJob(std::function<void()> job) {
  std::lock_guard<std::mutex> guard(lock_);
  job_ = std::move(job);
}

void ProbeTask::run() {
  std::function<void()> job;
  {
    std::lock_guard<std::mutex> guard(lock_);
    job = std::exchange(job_, nullptr);
  }
  if (job) job();
}

ProbeRefusal probeRefusal(int runningTask, bool probeRunning) {
  if (runningTask == kTaskFirmwareUpgrader || runningTask == kTaskSystemUpgrader) {
    return {true, true, kTaskRunningRefusal + std::to_string(runningTask)};
  }
  if (probeRunning) return {true, false, kProbeInProgress};
  return {};
}

std::string linkCheckText(bool passed, int linkType, int chosenType, bool usbPresent, bool japanese) {
  if (!passed) {
    switch (static_cast<ConnectType>(linkType)) {
      case ConnectType::Serial: return "Please connect the serial device.";
      case ConnectType::Lan: return "Ethernet communication failed. Please reconfigure.";
      case ConnectType::Bluetooth: return "Bluetooth communication failed. Please reconfigure.";
      default: return "Connection failed. Please reconfigure.";
    }
  }
  if (static_cast<ConnectType>(linkType) == ConnectType::Serial) return "Switching to serial success.";
  const std::string name = linkCheckName(chosenType);
  if (usbPresent) return "Switch " + name + " successful, please disconnect the USB connection.";
  if (japanese) return " " + name + " 接続完了.";
  return "Switching " + name + " success.";
}

std::string usbCheckText(bool passed) {
  return passed ? "Switching to USB success." : "Please connect the USB device.";
}

std::string voltageText(std::optional<float> volts) {
  if (!volts) return "votage: read failed, please retry";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "votage: %.3f V", static_cast<double>(*volts));
  return buffer;
}
