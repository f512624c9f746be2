#pragma once
#include <string>

// An exclusive lock on a small file of its own, held while the object lives
// and waited for when another process holds it. The kernel drops it when its
// holder dies, so a killed process never leaves it taken.
namespace platform {

class FileLock {
 public:
  explicit FileLock(const std::string& path);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // False when the file could not be opened or locked.
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace platform
