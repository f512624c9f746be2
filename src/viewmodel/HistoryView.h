#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/DeviceInfo.h"
#include "app/RunHistory.h"

// How both front ends show the run history: the same columns, the same
// result texts, in the words of the language shown (English by default; the
// window takes its skin's).
struct HistoryWords {
  std::string firmware = "firmware";
  std::string system = "system";
  std::string wifi = "Wi-Fi";
  std::string running = "running";
  std::string succeeded = "succeeded";
  std::string upToDate = "up to date";
  std::string failed = "failed";
  std::string refused = "refused";
  std::string interrupted = "interrupted";
  std::string unknown = "unknown";
  std::string lastUpgrade = "Last upgrade: %1";  // %1: when, what, versions, result
  std::string noUpgrade = "No upgrade recorded";
};

// The table's columns, in order; the English headings are the console's.
enum class HistoryColumn { Started, Device, Model, Link, What, Before, After, Result, User, Count };
const char* historyHeading(HistoryColumn column);

// "2026-12-07 10:42" in local time; "" for an unknown time.
std::string historyTime(int64_t ms);
std::string historyWhat(const std::string& what, const HistoryWords& words);
// "failed at j2534Firmware/transfer: ...", "refused: busy ...", "succeeded".
std::string historyResult(const RunRow& row, const HistoryWords& words);
// One row's cells, control characters made harmless.
std::vector<std::string> historyCells(const RunRow& row, const HistoryWords& words);
// The device card's line for the newest firmware or system run of a device.
std::string lastUpgradeLine(const std::optional<RunRow>& row, const HistoryWords& words);

// The firmware images' versions as a run records them, "V1.10, J2534 V2.10";
// with sent, the images the run sends are at their newest.
std::string firmwareVersionsText(const DeviceInfo& device, bool sent, bool force);
// "V3.10 (205)": the system as the device reports it.
std::string systemVersionText(const SoftwareSlot& system);
