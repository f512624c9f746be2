#pragma once
#include <string>
#include <vector>

#include "Cli.h"
#include "app/DeviceInfo.h"

// One read of the device and of the newest versions online, as the window
// starts it, shared by info and the upgrade commands.
namespace cli {

struct DeviceRead {
  bool finished = false;   // the task reported its last phase in time
  bool connected = false;  // false: no session could be made
  DeviceInfo info;
  std::vector<std::string> errors;  // the texts the task reported ("ERR_...: detail")
};

DeviceRead readDevice(const Args& args);

// Prints why nothing was read and returns the exit status; kExitOk when the
// read holds a serial number.
int checkRead(const DeviceRead& read);

// The web services' endpoints file: empty when usable, else what is wrong
// with it, naming the path and KESTREL_SERVICES.
std::string servicesProblem();

// For a USB serial port this user may not open: what to do about it; empty
// when every port of an attached device can be opened.
std::string serialPermissionHint();

// Where the details of a failure are, with the run's last warnings.
std::string logFileHint();

// Why a newest version is unknown names a service and its address: longer than other texts shown.
constexpr size_t kReasonShown = 400;

// Shown as "unknown" when empty.
std::string versionText(const std::string& version);

}  // namespace cli
