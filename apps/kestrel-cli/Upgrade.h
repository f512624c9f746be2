#pragma once
#include <memory>
#include <string>

#include "Cli.h"
#include "DeviceRead.h"
#include "platform/DeviceLock.h"

// What the upgrade commands and wifi share: the device choice and read, the
// busy check before any frame, and the lock that makes the run the only one
// changing the device.
namespace cli {

struct Claim {
  DeviceRead read;
  std::unique_ptr<platform::DeviceLock> lock;
};

// Chooses and reads the device, refusing at once when another process has
// any device claimed; then claims the device read for what ("firmware
// upgrade", ...) unless dryRun. kExitOk, or the exit status.
int claimDevice(const Args& args, const std::string& what, bool dryRun, Claim& claim);

}  // namespace cli
