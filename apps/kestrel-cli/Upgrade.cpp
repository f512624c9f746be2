#include "Upgrade.h"

#include <cstdio>

#include "DeviceChoice.h"
#include "utils/LogFacade.h"

namespace cli {

namespace {

int busy(const std::string& holder) {
  std::fprintf(stderr, "busy: %s\n", holder.c_str());
  LOG_WARN("device busy: %s", holder.c_str());
  return kExitBusy;
}

}  // namespace

int claimDevice(const Args& args, const std::string& what, bool dryRun, Claim& claim) {
  // Even a read would disturb a transfer in progress: refuse before the
  // first frame while the device's serial number is still unknown.
  if (std::string holder; platform::DeviceLock::anyHeld(holder)) return busy(holder);
  if (int rc = chooseForRun(args); rc != kExitOk) return rc;
  claim.read = readDevice(args);
  if (int rc = checkRead(claim.read); rc != kExitOk) return rc;
  if (dryRun) return kExitOk;
  const std::string& serial = claim.read.info.serialNumber;
  std::string holder;
  switch (platform::DeviceLock::tryAcquire(serial, what + " of " + serial, claim.lock, holder)) {
    case platform::DeviceLock::Result::Acquired:
      return kExitOk;
    case platform::DeviceLock::Result::Busy:
      return busy(holder);
    case platform::DeviceLock::Result::Failed:
      std::fprintf(stderr, "cannot claim the device: %s\n", holder.c_str());
      return kExitFailed;
  }
  return kExitFailed;
}

}  // namespace cli
