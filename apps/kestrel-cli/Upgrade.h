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

// After the device choice: kExitBusy, with the holder named, when the device
// the default session would open is claimed; else kExitOk.
int refuseClaimedDevice();

// After a read reached the device another way than its claim says: kExitBusy,
// with the holder named, when its serial number is claimed; else kExitOk.
int refuseClaimedSerial(const std::string& serialNumber);

// Chooses the device, refuses when it is claimed, reads it, and then claims
// it by its serial number for what ("firmware upgrade", ...) unless dryRun;
// a device claimed meanwhile is refused then. Claims of other devices never
// refuse the run. kExitOk, or the exit status.
int claimDevice(const Args& args, const std::string& what, bool dryRun, Claim& claim);

}  // namespace cli
