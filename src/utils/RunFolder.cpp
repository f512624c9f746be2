#include "utils/RunFolder.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "platform/Paths.h"
#include "utils/ZipUtils.h"

namespace {

// "<kind>-XXXXXX", as made below; anything else in Update is not ours to remove.
bool isRunFolderName(const std::string& name) {
  const size_t dash = name.rfind('-');
  return dash != std::string::npos && dash > 0 && name.size() == dash + 7 &&
         std::all_of(name.begin() + static_cast<long>(dash) + 1, name.end(),
                     [](unsigned char c) { return std::isalnum(c); });
}

// A folder whose lock can be taken has no run behind it.
void removeUnheld(const std::string& parent) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(parent, ec)) {
    if (!entry.is_directory(ec) || !isRunFolderName(entry.path().filename().string())) continue;
    const int fd = ::open(entry.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) ziputils::removeTree(entry.path().string());
    ::close(fd);
  }
}

// Still the folder at path: not removed by another run's sweep between being
// made and being locked.
bool isStillAt(int fd, const std::string& path) {
  struct stat held {}, named {};
  return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
         held.st_dev == named.st_dev;
}

}  // namespace

RunFolder::RunFolder(const std::string& prefix) {
  const std::string parent = platform::updateDir();
  std::error_code ec;
  std::filesystem::create_directories(parent, ec);
  removeUnheld(parent);
  constexpr int kAttempts = 3;  // a sweep may remove a folder before its lock is taken
  for (int attempt = 0; attempt < kAttempts && path_.empty(); ++attempt) {
    std::string pattern = platform::joinPath(parent, prefix + "XXXXXX");
    if (::mkdtemp(pattern.data()) == nullptr) return;
    const int fd = ::open(pattern.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 && ::flock(fd, LOCK_EX) == 0 && isStillAt(fd, pattern)) {
      path_ = pattern;
      fd_ = fd;
    } else if (fd >= 0) {
      ::close(fd);
    }
  }
}

void RunFolder::removeAbandoned() { removeUnheld(platform::updateDir()); }

RunFolder::~RunFolder() {
  if (!path_.empty()) ziputils::removeTree(path_);
  if (fd_ >= 0) ::close(fd_);
}
