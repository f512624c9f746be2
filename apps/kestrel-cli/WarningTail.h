#pragma once
#include <string>
#include <vector>

// The run's last warnings, kept beside the log file, so that a failure can
// name its cause (the URL and status of a failed download, the step that was
// refused) without sending the user to the log first.
namespace cli {

// Attaches to the root logger; call once logging is installed.
void startWarningTail();

// Up to count of the newest warnings, oldest first.
std::vector<std::string> recentWarnings(size_t count);

// "  log: ..." lines of the newest warnings, for a failure message.
std::string warningLines(size_t count);

}  // namespace cli
