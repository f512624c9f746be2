#pragma once
#include <string>
#include <string_view>

#include "app/DeviceInfo.h"

// Whether a part of the device is offered for upgrade. The tasks, the window
// and the command line all decide through this one rule, so a part shown as
// up to date is never the one sent.

// The text without one leading 'V'.
std::string withoutLeadingV(std::string_view version);

// Orders dotted versions part by part: numeric parts by value, others as
// text; one leading 'V' is ignored and a missing part counts as 0.
// Negative, 0 or positive as a is older than, equal to or newer than b.
int compareVersions(std::string_view a, std::string_view b);

// True when latest is non-empty and newer than current.
bool isNewerVersion(std::string_view latest, std::string_view current);

enum class VersionVerdict {
  Upgrade,          // online is newer
  UpToDate,         // online is what the device runs
  NewerThanOnline,  // the device runs a version later than the one online
  LatestUnknown,    // the newest version could not be learnt
  CurrentUnknown,   // the device did not say what it runs: a failed read is not an old device
};

// A firmware image: current as the device reports it, latest as online.
VersionVerdict judgeVersion(std::string_view current, std::string_view latest);

// The system: the version service answers either a build number, compared
// with the device's build, or the package name the device runs.
VersionVerdict judgeSystem(const SoftwareSlot& system);

// Only an upgrade is sent unless the user forces it.
bool isOffered(VersionVerdict verdict, bool force);

// "upgrade available", "up to date", "newer than online", ...
const char* verdictText(VersionVerdict verdict);
