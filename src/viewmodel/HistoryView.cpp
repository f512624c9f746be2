#include "viewmodel/HistoryView.h"

#include <ctime>
#include <iterator>

#include "task/FirmwareUpgrader.h"
#include "viewmodel/UpgradePlan.h"

namespace {

// Texts from the database may hold anything; a cell shows them on one line.
std::string oneLine(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return text;
}

std::string replaceMark(std::string format, const std::string& value) {
  const size_t at = format.find("%1");
  return at == std::string::npos ? format + " " + value : format.replace(at, 2, value);
}

}  // namespace

const char* historyHeading(HistoryColumn column) {
  static const char* const kHeadings[] = {"STARTED", "DEVICE", "MODEL", "LINK", "WHAT",
                                          "BEFORE",  "AFTER",  "RESULT", "USER"};
  const auto index = static_cast<size_t>(column);
  return index < std::size(kHeadings) ? kHeadings[index] : "";
}

std::string historyTime(int64_t ms) {
  // Beyond year 9999 or before 1970 is not a time any run was made at.
  if (ms <= 0 || ms > 253402300799000LL) return "";
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm local{};
  if (!localtime_r(&seconds, &local)) return "";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
  return text;
}

std::string historyWhat(const std::string& what, const HistoryWords& words) {
  if (what == runwhat::kFirmware) return words.firmware;
  if (what == runwhat::kSystem) return words.system;
  if (what == runwhat::kWifi) return words.wifi;
  return oneLine(what);
}

std::string historyResult(const RunRow& row, const HistoryWords& words) {
  switch (row.result) {
    case RunResult::Running: return words.running;
    case RunResult::Succeeded: return words.succeeded;
    case RunResult::UpToDate:
      return row.message.empty() ? words.upToDate : words.upToDate + ": " + oneLine(row.message);
    case RunResult::Interrupted: return words.interrupted;
    case RunResult::Failed:
    case RunResult::Refused: {
      std::string text = row.result == RunResult::Failed ? words.failed : words.refused;
      if (!row.step.empty()) text += " (" + oneLine(row.step) + ")";
      if (!row.message.empty()) text += ": " + oneLine(row.message);
      return text;
    }
    case RunResult::Unknown: break;
  }
  return words.unknown;
}

std::vector<std::string> historyCells(const RunRow& row, const HistoryWords& words) {
  std::string link = oneLine(row.link);
  if (!row.address.empty()) link += (link.empty() ? "" : " ") + oneLine(row.address);
  return {historyTime(row.startedMs),     oneLine(row.serialNumber),       oneLine(row.model),
          link,                           historyWhat(row.what, words),    oneLine(row.versionBefore),
          oneLine(row.versionAfter),      historyResult(row, words),       oneLine(row.user)};
}

std::string lastUpgradeLine(const std::optional<RunRow>& row, const HistoryWords& words) {
  if (!row) return words.noUpgrade;
  std::string line = historyTime(row->startedMs) + ", " + historyWhat(row->what, words);
  const std::string& versions = row->versionAfter.empty() ? row->versionBefore : row->versionAfter;
  if (!versions.empty()) line += " " + oneLine(versions);
  // The card has room for the outcome, not for a failure's whole message.
  RunRow brief = *row;
  brief.message.clear();
  return replaceMark(words.lastUpgrade, line + ", " + historyResult(brief, words));
}

std::string firmwareVersionsText(const DeviceInfo& device, bool sent, bool force) {
  std::string text;
  for (const PartPlan& plan : firmwarePlan(device)) {
    if (plan.skipped) continue;
    const SoftwareSlot& slot = *plan.slot;
    const std::string& version = sent && plan.sent(force) ? slot.latestVersion : slot.version;
    const char* label = plan.part == FirmwareUpgrader::kPartJ2534 ? "J2534 " : "";
    text += (text.empty() ? "" : ", ") + std::string(label) + (version.empty() ? "?" : version);
  }
  return text;
}

std::string systemVersionText(const SoftwareSlot& system) {
  std::string text = system.packageName.empty() ? system.version : system.packageName;
  if (!system.packageName.empty() && !system.version.empty()) text += " (" + system.version + ")";
  return text;
}
