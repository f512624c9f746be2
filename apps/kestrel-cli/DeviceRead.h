#pragma once
#include <memory>
#include <string>
#include <vector>

#include "Cli.h"
#include "app/DeviceInfo.h"
#include "platform/DeviceLock.h"

// One read of the device and of the newest versions online, as the window
// starts it, shared by info and the upgrade commands.
namespace cli {

struct DeviceRead {
  bool finished = false;   // the task reported its last phase in time
  bool connected = false;  // false: no session could be made
  DeviceInfo info;
  std::vector<std::string> errors;  // the texts the task reported ("ERR_...: detail")
};

// What the caller waits for once the last phase arrived: the task's end
// (its closing pause, before the next task opens a session), or only its
// session closed, for a caller that ends the process next.
enum class ReadEnd { TaskEnded, SessionClosed };

DeviceRead readDevice(const Args& args, ReadEnd end = ReadEnd::TaskEnded);

// Prints why nothing was read and returns the exit status; kExitOk when the
// read holds a serial number.
int checkRead(const DeviceRead& read);

// A run that changes the device: what it read, and its claim on the device
// that makes it the only such run.
struct Claim {
  DeviceRead read;
  std::unique_ptr<platform::DeviceLock> lock;
  std::string serialNumber;  // the device, when known, also when refused before its read
  std::string holder;        // who holds it, when refused as busy
  std::string place;         // where the claim reaches it
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
int readAndClaim(const Args& args, const std::string& what, bool dryRun, Claim& claim);

// After readAndClaim refused a run: a device found busy is recorded in the
// run history as refused (without a serial number when none was known yet).
// Returns rc.
int recordRefusal(const Claim& claim, const char* what, int rc);

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
