#pragma once
#include <memory>
#include <string>

// One upgrade or Wi-Fi change at a time per device, across processes, users
// and working roots: an exclusive open-file-description lock on
// <lock folder>/<key>.lock, keyed by the serial number. The folder is one that
// every user and root share ($KESTREL_LOCK_DIR, else kestrel/ under /run/lock,
// else under /tmp), so a claim made with sudo or another TARNFIELD_HOME is
// seen. The kernel drops the lock when its holder dies, so a crashed run never
// leaves the device blocked. Looking at a claim never takes a lock, so it
// cannot make a claim fail.
namespace platform {

class DeviceLock {
 public:
  enum class Result { Acquired, Busy, Failed };

  ~DeviceLock();
  DeviceLock(const DeviceLock&) = delete;
  DeviceLock& operator=(const DeviceLock&) = delete;

  // Checks and takes the claim in one step; never waits. Acquired: lock holds
  // it and the file names this process, what, and where (the place the device
  // is reached, "" when not known). Busy: holder is "<what> by process N" of
  // the process that has it. Failed: holder is why the claim cannot be made.
  static Result tryAcquire(const std::string& key, const std::string& what, std::unique_ptr<DeviceLock>& lock,
                           std::string& holder, const std::string& where = "");

  // Whether a claim on key or one on where is held (by any open claim, this
  // process's own included); holder as above. A claim that names no place
  // is taken to be on every place. Either argument may be empty.
  static bool isClaimed(const std::string& key, const std::string& where, std::string& holder);

  static std::string lockDir();
  // The lock file of a key; a key from outside is reduced to a safe file name.
  static std::string lockPath(const std::string& key);

 private:
  explicit DeviceLock(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace platform
