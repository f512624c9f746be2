#pragma once
#include <string>
#include <string_view>

// How the main window reads and shows version texts.

// The text without one leading 'V'.
std::string withoutLeadingV(std::string_view version);

// Orders dotted versions part by part: numeric parts by value, others as
// text; one leading 'V' is ignored and a missing part counts as 0.
// Negative, 0 or positive as a is older than, equal to or newer than b.
int compareVersions(std::string_view a, std::string_view b);

// True when latest is non-empty and newer than current.
bool isNewerVersion(std::string_view latest, std::string_view current);

// The firmware label from the download-image version and the J2534-image
// version, shaped by the pass-thru library's registration name.
std::string firmwareText(const std::string& download, const std::string& j2534, const std::string& registration);
