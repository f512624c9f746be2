#pragma once
#include <memory>
#include <string>

// One upgrade or Wi-Fi change at a time per device, across processes: an
// exclusive flock on <root>/run/<key>.lock, keyed by the serial number. The
// kernel drops the lock when its holder dies, so a crashed run never leaves
// the device blocked.
namespace platform {

class DeviceLock {
 public:
  enum class Result { Acquired, Busy, Failed };

  ~DeviceLock();
  DeviceLock(const DeviceLock&) = delete;
  DeviceLock& operator=(const DeviceLock&) = delete;

  // Never waits. Acquired: lock holds the claim and the file names this
  // process and what. Busy: holder is "<what> by process N" of the process
  // that has it. Failed: holder is the reason the lock could not be taken.
  static Result tryAcquire(const std::string& key, const std::string& what, std::unique_ptr<DeviceLock>& lock,
                           std::string& holder);

  // Whether any device is claimed by another process right now; holder as
  // above. For callers that do not know their device yet.
  static bool anyHeld(std::string& holder);

  static std::string lockDir();  // <root>/run
  // The lock file of a key; a key from outside is reduced to a safe file name.
  static std::string lockPath(const std::string& key);

 private:
  explicit DeviceLock(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace platform
