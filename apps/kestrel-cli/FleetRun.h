#pragma once
#include <string>
#include <vector>

#include "Cli.h"

// --all: one command on every device found on USB and the LAN at the same
// time. Each device gets a run of its own, a child process bound to that
// device (its own claim, session and download folder), so one device's fault
// or crash never reaches another's run.
namespace cli {

// The option every fleet command takes.
OptionSpec allDevicesOption();

// Runs `kestrel-cli WORDS... --link L --device D --json` once per device found
// and waits for all. Progress: one line per device on a terminal, else JSON
// lines tagged with the serial number; then a summary table (one JSON object
// with --json). 0 only when every device ended well; 3 when none was found.
int runOnEveryDevice(const Args& args, const std::vector<std::string>& words);

}  // namespace cli
