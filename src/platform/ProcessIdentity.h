#pragma once
#include <cstdint>
#include <string>

// Who a process is, so that a record it left can later be told apart from
// one whose process still runs: a process id alone is reused, so the boot and
// the process's start time are kept with it.
namespace platform {

struct ProcessIdentity {
  int64_t pid = 0;
  std::string bootId;      // /proc/sys/kernel/random/boot_id
  int64_t startTicks = 0;  // clock ticks after boot, from /proc/PID/stat
};

ProcessIdentity thisProcess();

// False once that process has ended, or the machine has restarted since.
bool isRunning(const ProcessIdentity& process);

// The login name of the user running this program; under sudo also the user
// who called it: "root (sudo from alice)".
std::string userDescription();

}  // namespace platform
