#include "platform/DeviceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/Paths.h"

namespace platform {

namespace {

constexpr size_t kMaxKey = 64;
constexpr size_t kMaxHolderText = 256;

std::string safeKey(const std::string& key) {
  std::string out;
  for (char c : key.substr(0, kMaxKey)) {
    bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '_';
    out += plain ? c : '_';
  }
  return out.empty() ? "unknown" : out;
}

// "<what> by process N" from a held lock file; its holder may not have
// written it yet.
std::string holderText(int fd) {
  char buffer[kMaxHolderText] = {};
  ssize_t n = pread(fd, buffer, sizeof buffer - 1, 0);
  std::string text = n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
  }
  return text.empty() ? "in use by another process" : text;
}

}  // namespace

std::string DeviceLock::lockDir() { return joinPath(workRoot(), "run"); }

std::string DeviceLock::lockPath(const std::string& key) { return joinPath(lockDir(), safeKey(key) + ".lock"); }

DeviceLock::~DeviceLock() { close(fd_); }

DeviceLock::Result DeviceLock::tryAcquire(const std::string& key, const std::string& what,
                                          std::unique_ptr<DeviceLock>& lock, std::string& holder) {
  std::error_code ec;
  std::filesystem::create_directories(lockDir(), ec);
  const std::string path = lockPath(key);
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    holder = "cannot open " + path + ": " + std::strerror(errno);
    return Result::Failed;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    holder = error == EWOULDBLOCK ? holderText(fd) : "cannot lock " + path + ": " + std::strerror(error);
    close(fd);
    return error == EWOULDBLOCK ? Result::Busy : Result::Failed;
  }
  const std::string text = what + " by process " + std::to_string(getpid()) + "\n";
  if (ftruncate(fd, 0) != 0 || pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
    holder = "cannot write " + path + ": " + std::strerror(errno);
    close(fd);
    return Result::Failed;
  }
  lock.reset(new DeviceLock(fd));
  return Result::Acquired;
}

bool DeviceLock::anyHeld(std::string& holder) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(lockDir(), ec)) {
    if (entry.path().extension() != ".lock") continue;
    int fd = open(entry.path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    // A shared probe: it never blocks the holder, and an exclusive holder refuses it.
    const bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (held) holder = holderText(fd);
    close(fd);  // also drops the probe's own shared lock
    if (held) return true;
  }
  return false;
}

}  // namespace platform
