#include "Upgrade.h"

#include <cstdio>

#include "DeviceChoice.h"
#include "app/DeviceClaim.h"
#include "utils/LogFacade.h"

namespace cli {

namespace {

int busy(const std::string& holder) {
  std::fprintf(stderr, "busy: %s\n", holder.c_str());
  LOG_WARN("device busy: %s", holder.c_str());
  return kExitBusy;
}

}  // namespace

int refuseClaimedDevice() {
  // Even a read would disturb a transfer in progress: refuse before the
  // first frame when the device this run would open is claimed.
  std::string holder;
  if (isDefaultDeviceClaimed(expectedSerial(), holder)) return busy(holder);
  return kExitOk;
}

int refuseClaimedSerial(const std::string& serialNumber) {
  std::string holder;
  if (platform::DeviceLock::isClaimed(serialNumber, "", holder)) return busy(holder);
  return kExitOk;
}

int claimDevice(const Args& args, const std::string& what, bool dryRun, Claim& claim) {
  if (int rc = chooseForRun(args); rc != kExitOk) return rc;
  if (int rc = refuseClaimedDevice(); rc != kExitOk) return rc;
  claim.read = readDevice(args);
  if (int rc = checkRead(claim.read); rc != kExitOk) return rc;
  const std::string& serial = claim.read.info.serialNumber;
  if (dryRun) return refuseClaimedSerial(serial);
  std::string holder;
  switch (::claimDevice(serial, what + " of " + serial, claim.lock, holder)) {
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
