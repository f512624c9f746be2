#include "viewmodel/SystemProgressView.h"

#include <algorithm>

#include "task/SystemUpgrader.h"

using Upgrader = SystemUpgrader;

SystemStageView systemStageView(int stage, int result, int value) {
  SystemStageView view;
  const bool inRun = stage >= Upgrader::kPrepare && stage < Upgrader::kEnd;
  // A stage that gives up sends no final stage: it ends the run.
  if (inRun && (result == Upgrader::kRetry || result == Upgrader::kRejected)) {
    view.text = stage == Upgrader::kTransfer ? "transfer pkg failed" : "upgrade failed, please retry";
    view.state = ProgressState::Failed;
    view.ended = true;
    return view;
  }
  switch (stage) {
    case Upgrader::kPrepare:
      view.text = "start prepare";
      view.asksForPackage = result == Upgrader::kNoPackage;
      break;
    case Upgrader::kDownload: view.text = "start download pkg"; break;
    case Upgrader::kChoose:
      view.percent = result == Upgrader::kDone ? 1 : 0;
      view.text = result == Upgrader::kDone ? "start transfer pkg file" : "wait select pkg file";
      break;
    case Upgrader::kTransfer:
      view.shown = result == Upgrader::kDone;
      view.percent = std::clamp(value, 0, 100);
      view.text = "transferring";
      break;
    case Upgrader::kInstall:
      view.withPercent = false;
      if (result == Upgrader::kWaiting) {
        view.percent = 100;
        view.text = Upgrader::waitText(value);
      } else {
        view.percent = std::clamp(value, 0, 100);
        view.text = "Transmission completed and the box is upgrading. Please wait patiently. ";
      }
      break;
    case Upgrader::kEnd:
      view.ended = true;
      if (result == Upgrader::kDone) {
        view.percent = 100;
        view.text = "upgrade success, start read device info.";
        view.state = ProgressState::Succeeded;
      } else {
        view.withPercent = false;
        view.state = ProgressState::Failed;
      }
      break;
    default: view.text = "unkown"; break;
  }
  return view;
}

const char* systemStageName(int stage) {
  static const char* const names[] = {"prepare", "download", "choose", "transfer", "install", "end"};
  return stage >= Upgrader::kPrepare && stage <= Upgrader::kEnd ? names[stage - Upgrader::kPrepare] : "unknown";
}

const char* systemResultName(int result) {
  static const char* const names[] = {"done", "give-up", "failed", "no-package", "rejected", "waiting"};
  return result >= Upgrader::kDone && result <= Upgrader::kWaiting ? names[result] : "unknown";
}
