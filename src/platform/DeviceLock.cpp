#include "platform/DeviceLock.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/Paths.h"

namespace platform {

namespace {

constexpr size_t kMaxKey = 64;
constexpr size_t kMaxClaimText = 512;
constexpr char kPlacePrefix[] = "at ";
// Every user's runs must be able to open and lock every claim file.
constexpr mode_t kClaimMode = 0666;
constexpr mode_t kSharedFolderMode = 01777;
// A file that vanishes and reappears between our two opens more often than this is an attack, not a race.
constexpr int kOpenAttempts = 4;

std::string safeKey(const std::string& key) {
  std::string out;
  for (char c : key.substr(0, kMaxKey)) {
    bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '_';
    out += plain ? c : '_';
  }
  return out.empty() ? "unknown" : out;
}

std::string errorText(const std::string& what, const std::string& path, int error) {
  return "cannot " + what + " " + path + ": " + std::strerror(error);
}

// The claim file's two lines: "<what> by process N" and "at <where>". Its
// holder may not have written it yet; outside text is made printable.
struct ClaimText {
  std::string holder;
  std::string where;
};

ClaimText readClaim(int fd) {
  char buffer[kMaxClaimText] = {};
  ssize_t n = pread(fd, buffer, sizeof buffer - 1, 0);
  std::string text = n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
  ClaimText claim;
  const size_t newline = text.find('\n');
  claim.holder = text.substr(0, newline);
  if (newline != std::string::npos) {
    std::string rest = text.substr(newline + 1);
    rest = rest.substr(0, rest.find('\n'));
    if (rest.rfind(kPlacePrefix, 0) == 0) claim.where = rest.substr(std::strlen(kPlacePrefix));
  }
  for (char& c : claim.holder) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
  }
  if (claim.holder.empty()) claim.holder = "in use by another process";
  return claim;
}

struct flock wholeFile(short type) {
  struct flock range {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  return range;
}

// Held by any open file description; takes nothing.
bool isLocked(int fd) {
  struct flock range = wholeFile(F_WRLCK);
  return fcntl(fd, F_OFD_GETLK, &range) == 0 && range.l_type != F_UNLCK;
}

std::string userName() {
  if (const passwd* pw = getpwuid(geteuid())) return pw->pw_name;
  return std::to_string(geteuid());
}

// The folder every user shares, created world-writable and sticky so each
// user can add claims but remove only their own. Opened without following a
// link, so later steps work inside it whatever its path becomes.
int openLockFolder(std::string& why) {
  const std::string dir = DeviceLock::lockDir();
  if (mkdir(dir.c_str(), kSharedFolderMode) == 0) {
    chmod(dir.c_str(), kSharedFolderMode);  // the umask narrowed it
  } else if (errno != EEXIST) {
    why = errorText("create the claims folder", dir, errno);
    return -1;
  }
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) why = errorText("open the claims folder", dir, errno);
  return fd;
}

// Opens the claim file for writing: an existing one is opened without
// O_CREAT, which a sticky folder refuses for another user's file, and a new
// one is created exclusively; never a link, never truncated.
int openClaimFile(int dirFd, const std::string& name, const std::string& path, std::string& why) {
  const int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    int fd = openat(dirFd, name.c_str(), flags);
    if (fd < 0 && errno == ENOENT) {
      fd = openat(dirFd, name.c_str(), flags | O_CREAT | O_EXCL, kClaimMode);
      if (fd >= 0) fchmod(fd, kClaimMode);  // the umask narrowed it
      if (fd < 0 && errno == EEXIST) continue;
    }
    if (fd < 0) {
      const int error = errno;
      struct stat st {};
      std::string owner;
      if (error == EACCES && fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_uid != geteuid()) {
        owner = " (the file belongs to user id " + std::to_string(st.st_uid) + "; it or root can remove it)";
      }
      why = error == ELOOP ? "cannot use the claim " + path + ": it is a symbolic link"
                           : errorText("open the claim", path, error) + owner;
      return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(fd);
      why = "cannot use the claim " + path + ": not a plain file";
      return -1;
    }
    return fd;
  }
  why = "cannot open the claim " + path + ": it keeps being replaced";
  return -1;
}

}  // namespace

std::string DeviceLock::lockDir() {
  if (const char* dir = std::getenv("KESTREL_LOCK_DIR"); dir && *dir) return dir;
  struct stat st {};
  const bool runLock = stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode);
  return joinPath(runLock ? "/run/lock" : "/tmp", "kestrel");
}

std::string DeviceLock::lockPath(const std::string& key) { return joinPath(lockDir(), safeKey(key) + ".lock"); }

DeviceLock::~DeviceLock() { close(fd_); }

DeviceLock::Result DeviceLock::tryAcquire(const std::string& key, const std::string& what,
                                          std::unique_ptr<DeviceLock>& lock, std::string& holder,
                                          const std::string& where) {
  const int dirFd = openLockFolder(holder);
  if (dirFd < 0) return Result::Failed;
  const std::string name = safeKey(key) + ".lock";
  const int fd = openClaimFile(dirFd, name, lockPath(key), holder);
  close(dirFd);
  if (fd < 0) return Result::Failed;
  struct flock range = wholeFile(F_WRLCK);
  if (fcntl(fd, F_OFD_SETLK, &range) != 0) {
    const int error = errno;
    const bool busy = error == EAGAIN || error == EACCES;
    holder = busy ? readClaim(fd).holder : errorText("lock", lockPath(key), error);
    close(fd);
    return busy ? Result::Busy : Result::Failed;
  }
  std::string place;
  for (char c : where) place += (c == '\n' || c == '\r') ? ' ' : c;
  const std::string text = what + " by process " + std::to_string(getpid()) + " of user " + userName() + "\n" +
                           kPlacePrefix + place + "\n";
  // Only the lock's holder writes, so shortening the file after the write cuts nobody's text.
  if (pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()) ||
      ftruncate(fd, static_cast<off_t>(text.size())) != 0) {
    holder = errorText("write the claim", lockPath(key), errno);
    close(fd);
    return Result::Failed;
  }
  lock.reset(new DeviceLock(fd));
  return Result::Acquired;
}

bool DeviceLock::isClaimed(const std::string& key, const std::string& where, std::string& holder) {
  const std::string dir = lockDir();
  DIR* folder = opendir(dir.c_str());
  if (!folder) return false;
  const int dirFd = dirfd(folder);
  const std::string keyName = key.empty() ? std::string() : safeKey(key) + ".lock";
  bool claimed = false;
  while (const dirent* entry = readdir(folder)) {
    const std::string_view name = entry->d_name;
    if (name.size() <= 5 || name.substr(name.size() - 5) != ".lock") continue;
    const int fd = openat(dirFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) continue;
    if (isLocked(fd)) {
      const ClaimText claim = readClaim(fd);
      claimed = name == keyName || claim.where.empty() || (!where.empty() && claim.where == where);
      if (claimed) holder = claim.holder;
    }
    close(fd);
    if (claimed) break;
  }
  closedir(folder);
  return claimed;
}

}  // namespace platform
