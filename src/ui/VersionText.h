#pragma once
#include <string>

#include "app/VersionRule.h"

// How the main window shows version texts; which version is newer is the
// shared rule's to say.

// The firmware label from the download-image version and the J2534-image
// version, shaped by the pass-thru library's registration name.
std::string firmwareText(const std::string& download, const std::string& j2534, const std::string& registration);
